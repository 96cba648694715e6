// The shape the eight constraint classes share: type name "builtins.<Name>",
// no subclassing, no dict or weakrefs, the shared rich comparison (which
// also makes instances unhashable), and their own constructor and properties.
#pragma once

#include "boundary/type.hpp"
#include "package/constraint/operators_py.hpp"

#include <span>

namespace kelto::package::constraint {

template <class Payload>
consteval boundary::ClassSpec constraint_class(std::string_view name, const char* qualified_name,
                                               const char* doc, boundary::ConstructorSpec constructor,
                                               std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods = {}) {
    return {
        .name = name,
        .qualified_name = qualified_name,
        .doc = doc,
        .basic_size = static_cast<int>(sizeof(boundary::Instance<Payload>)),
        .dealloc = &boundary::dealloc<Payload>,
        .constructor = constructor,
        .richcompare = &rich_compare<Payload>,
        .unhashable = true,
        .methods = methods,
        .properties = properties,
    };
}

/// `spec` with what the type stubs say its comparisons accept: `rhs` for ==
/// and !=, and for the four orderings too when `ordering` (the operands the
/// comparison type check lets through; the records keep typing.Any).
consteval boundary::ClassSpec stub_comparisons(boundary::ClassSpec spec, std::string_view rhs, bool ordering) {
    spec.stub_equality = rhs;
    spec.stub_ordering = ordering;
    return spec;
}

}  // namespace kelto::package::constraint
