// Python objects into constraints and back. Nodes never change while shared,
// so a conversion shares them: a Constraint made from an object shares the
// object's node, and an object made from a Constraint holds that Constraint.
// Either costs the same at any size.
#pragma once

#include "boundary/convert.hpp"
#include "package/constraint/tree.hpp"

#include <vector>

namespace kelto::package::constraint {

/// A constraint object of any of the constraint classes (its node, shared under a
/// shared borrow), or a plain bool, int, float, str or Version (as a Value). Anything
/// else: TypeError "cannot convert '<class ...>' to Constraint", after the
/// ERROR event, which is emitted even if the caller then drops the error.
[[nodiscard]] boundary::Result<Constraint> constraint_from_py(boundary::Borrowed obj);

/// Every item of a sequence (not a str, which is refused), in iteration order.
[[nodiscard]] boundary::Result<std::vector<Constraint>> constraints_from_sequence(boundary::Borrowed obj);

/// A new object of the class of the constraint's kind, holding it.
[[nodiscard]] boundary::Result<boundary::Owned> constraint_to_py(Constraint constraint);

}  // namespace kelto::package::constraint

template <>
struct kelto::boundary::Converter<kelto::package::constraint::Constraint> {
    static Result<package::constraint::Constraint> convert(PyObject* obj) {
        return package::constraint::constraint_from_py(obj);
    }
};

template <>
struct kelto::boundary::Converter<std::vector<kelto::package::constraint::Constraint>> {
    static Result<std::vector<package::constraint::Constraint>> convert(PyObject* obj) {
        return package::constraint::constraints_from_sequence(obj);
    }
};
