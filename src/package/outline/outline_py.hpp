// The Python class kelto.package.outline.PackageOutline.
#pragma once

#include "boundary/type.hpp"

namespace kelto::package::outline {

extern boundary::ClassObject package_outline_class;

}  // namespace kelto::package::outline
