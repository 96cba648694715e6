// Python objects into constraints and back. Every conversion copies: a
// Constraint made from an object shares nothing with it, and an object made
// from a Constraint shares nothing with any other object.
#pragma once

#include "boundary/convert.hpp"
#include "package/constraint/tree.hpp"

#include <vector>

namespace kelto::package::constraint {

/// A constraint object of any of the eight classes (copied under a shared
/// borrow), or a plain bool, int, float, str or Version (as a Value). Anything
/// else: TypeError "cannot convert '<class ...>' to Constraint", after the
/// ERROR event, which is emitted even if the caller then drops the error.
[[nodiscard]] boundary::Result<Constraint> constraint_from_py(boundary::Borrowed obj);

/// Every item of a sequence (not a str, which is refused), in iteration order.
[[nodiscard]] boundary::Result<std::vector<Constraint>> constraints_from_sequence(boundary::Borrowed obj);

/// A new object of the class of the constraint's kind, taking over its payload.
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
