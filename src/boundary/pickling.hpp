// What copy and pickle need from a module whose classes keep their surface as
// it is: reducers registered with copyreg (so no class grows a __reduce__),
// and the reduce value they return, whose callable pickle finds again by its
// module and name.
#pragma once

#include "boundary/errors.hpp"

namespace kelto::boundary {

/// copyreg.pickle(cls, reducer): copy.copy, copy.deepcopy and every pickler
/// that uses copyreg's dispatch table then reduce instances of `cls` with it.
[[nodiscard]] Result<void> register_reducer(PyTypeObject* cls, Borrowed reducer);

/// The reduce value (restore, (data,)): unpickling calls restore(data).
/// `restore` must be reachable as an attribute of the module its __module__
/// names.
[[nodiscard]] Result<Owned> reduce_value(Borrowed restore, Owned data);

}  // namespace kelto::boundary
