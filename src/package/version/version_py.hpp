// The Python class kelto.package.version.Version over a parsed Version.
#pragma once

#include "boundary/instance.hpp"
#include "boundary/type.hpp"
#include "package/version/version.hpp"

namespace kelto::package::version {

/// The class object, created on first use.
extern boundary::ClassObject version_class;

}  // namespace kelto::package::version
