// The shape the constraint classes share: type name "builtins.<Name>",
// one instance layout (a Holder of the node), no subclassing, no dict or
// weakrefs, the shared rich comparison (which also makes instances
// unhashable), and their own constructor and properties. What the type stubs
// say each class's comparisons accept follows from its kind's value type
// (tools/gen_stubs.py).
#pragma once

#include "boundary/trampoline.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/operators_py.hpp"
#include "package/constraint/refusal.hpp"

#include <span>
#include <string_view>

namespace kelto::package::constraint {

namespace detail {

/// What the comparisons of `Payload`'s class meet as, for the type stubs: its
/// kind's value type, "any" when that follows the value held (a Value), and
/// nothing for a kind of no value type, which compares with nothing.
template <class Payload>
consteval std::string_view compares_as() {
    if constexpr (HasTypeFn<Payload>) return "any";
    else if constexpr (KindTraits<Payload>::kValueType.has_value()) return value_type_name(*KindTraits<Payload>::kValueType);
    else return {};
}

}  // namespace detail

/// `__new__` that builds the node of `Payload` from its converted fields, in
/// order: a leaf's in the object itself, a parent's on the heap. A field may
/// be given as a lighter type it is made from (a name as the argument's
/// std::string_view), so nothing is copied twice.
template <class Payload, class... Fields>
[[gnu::always_inline]] inline boundary::Result<boundary::Owned> build_node(PyTypeObject* cls, Fields... fields) {
    if constexpr (kHeldInPlace<Payload>) {
        return boundary::construct_instance<Holder>(cls, [&](Holder* at) {
            ::new (static_cast<void*>(at)) Holder(Holder::InPlace<Payload>{}, std::move(fields)...);
        });
    } else {
        return boundary::emplace_instance(cls, [&] { return Holder(Constraint::make<Payload>(std::move(fields)...)); });
    }
}

/// tp_dealloc of `Payload`'s class: the kind is the class's, so the Holder
/// needs no kind dispatch, and only IfThen asks which thread owns it.
template <class Payload>
inline constexpr destructor kDeallocOf =
    &boundary::dealloc<Holder, &Holder::destroy_as<Payload>, kKindOf<Payload> == Kind::IfThen>;

/// `base` (from boundary::class_spec) with the shape of the constraint class of `Payload`.
template <class Payload>
consteval boundary::ClassSpec constraint_class(boundary::ClassSpec base,
                                               std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods) {
    if (base.name != KindTraits<Payload>::kName) throw "a constraint class is named after its kind";
    base.dealloc = kDeallocOf<Payload>;
    base.richcompare = &rich_compare;
    base.unhashable = true;
    base.methods = methods;
    base.properties = properties;
    base.basic_size += static_cast<int>(kTailBytesOf<Payload>);
    base.stub_compares_as = detail::compares_as<Payload>();
    // The stubs make a class generic in its fields that hold constraints,
    // one (Cmp's sides) or a list (NumOf's): subscriptable here too.
    base.generic = detail::HasChildren<Payload> || detail::HasList<Payload>;
    return base;
}

/// A constraint class whose constructor `__new__(New...)` builds the node
/// from its fields, in order, converted to `Fields...`.
template <class Payload, const boundary::Signature& New, class... Fields>
consteval boundary::ClassSpec constraint_class(std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods = {}) {
    return constraint_class<Payload>(
        boundary::class_spec<Holder, New, &build_node<Payload, Fields...>>(), properties, methods);
}

/// A constraint class that Python cannot instantiate (Value): no constructor, no docstring.
template <class Payload, boundary::FixedString Name>
consteval boundary::ClassSpec constraint_class(std::span<const boundary::PropertySpec> properties) {
    return constraint_class<Payload>(boundary::class_spec<Holder, Name>(), properties, {});
}

}  // namespace kelto::package::constraint
