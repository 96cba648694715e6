// The shape the eight constraint classes share: type name "builtins.<Name>",
// no subclassing, no dict or weakrefs, the shared rich comparison (which
// also makes instances unhashable), and their own constructor and properties.
#pragma once

#include "boundary/trampoline.hpp"
#include "package/constraint/operators_py.hpp"

#include <span>

namespace kelto::package::constraint {

/// `base` (from boundary::class_spec) with the shape of a constraint class.
consteval boundary::ClassSpec constraint_class(boundary::ClassSpec base, richcmpfunc compare,
                                               std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods = {}) {
    base.richcompare = compare;
    base.unhashable = true;
    base.methods = methods;
    base.properties = properties;
    return base;
}

/// A constraint class whose constructor `__new__(New...)` builds the payload
/// from its fields, in order, converted to `Fields...`.
template <class Payload, const boundary::Signature& New, class... Fields>
consteval boundary::ClassSpec constraint_class(std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods = {}) {
    return constraint_class(boundary::class_spec<Payload, New, &boundary::build<Payload, Fields...>>(),
                            &rich_compare<Payload>, properties, methods);
}

/// A constraint class that Python cannot instantiate (Value): no constructor, no docstring.
template <class Payload, boundary::FixedString Name>
consteval boundary::ClassSpec constraint_class(std::span<const boundary::PropertySpec> properties) {
    return constraint_class(boundary::class_spec<Payload, Name>(), &rich_compare<Payload>, properties);
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
