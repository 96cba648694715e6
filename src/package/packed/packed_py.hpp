// Copy and pickle for every class of the module, without a member added to
// any class: one reducer registered with copyreg for each class, and the one
// function that unpickling calls, kelto._pickle.restore, in a module that is
// registered in sys.modules only.
#pragma once

#include "boundary/errors.hpp"

namespace kelto::package::packed {

/// Makes kelto._pickle and registers the reducers; part of building the module.
[[nodiscard]] boundary::Result<void> add_copy_support();

}  // namespace kelto::package::packed
