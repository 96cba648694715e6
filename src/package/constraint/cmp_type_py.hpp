// The Python class kelto.package.constraint.CmpType: six members made once
// with the class, compared and hashed by identity.
#pragma once

#include "boundary/convert.hpp"
#include "boundary/instance.hpp"
#include "boundary/type.hpp"
#include "package/constraint/cmp_type.hpp"

namespace kelto::package::constraint {

extern boundary::ClassObject cmp_type_class;

/// The operator held by a CmpType object; the type-mismatch failure naming
/// CmpType for anything else.
[[nodiscard]] boundary::Result<CmpType> cmp_type_from_py(boundary::Borrowed obj);

/// A new CmpType object (not the class attribute) holding `op`.
[[nodiscard]] boundary::Result<boundary::Owned> cmp_type_to_py(CmpType op);

/// The class attribute for `op` (CmpType.Less, ...): the member itself.
[[nodiscard]] boundary::Result<boundary::Owned> cmp_type_member(CmpType op);

}  // namespace kelto::package::constraint

template <>
struct kelto::boundary::Converter<kelto::package::constraint::CmpType> {
    static Result<package::constraint::CmpType> convert(PyObject* obj) {
        return package::constraint::cmp_type_from_py(obj);
    }
};
