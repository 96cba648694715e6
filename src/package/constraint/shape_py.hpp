// The shape the constraint classes share: type name "builtins.<Name>",
// one instance layout (a Holder of the node), no subclassing, no dict or
// weakrefs, the shared rich comparison (which also makes instances
// unhashable), and the constructor and properties their kinds' fields make. What the type stubs
// say each class's comparisons accept follows from its kind's value type
// (tools/gen_stubs.py).
#pragma once

#include "boundary/trampoline.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/fields_py.hpp"
#include "package/constraint/operators_py.hpp"
#include "package/constraint/refusal.hpp"

#include <algorithm>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
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

namespace detail {

/// `text` as a template argument.
template <std::size_t N>
consteval boundary::FixedString<N + 1> fixed(std::string_view text) {
    char chars[N + 1]{};
    std::copy_n(text.data(), N, chars);
    return boundary::FixedString<N + 1>(chars);
}

template <class Payload, std::size_t I>
inline constexpr auto kFieldAt = std::get<I>(KindTraits<Payload>::kFields);

/// The constructor's parameter for field `I`.
template <class Payload, std::size_t I>
consteval boundary::Param param_at() {
    using Stub = StubType<FieldType<decltype(kFieldAt<Payload, I>)>>;
    return {.name = kFieldAt<Payload, I>.param, .annotation = Stub::record, .stub_annotation = Stub::accepted};
}

/// The property over field `I`.
template <class Payload, std::size_t I>
consteval boundary::PropertySpec property_at() {
    constexpr std::string_view name = kFieldAt<Payload, I>.name;
    return field_property<fixed<name.size()>(name), std::remove_cvref_t<decltype(kFieldAt<Payload, I>)>::kMember>();
}

/// What the constructor converts a field's argument to: a name as the
/// argument's std::string_view, which the payload's Text is made from, so
/// nothing is copied twice; anything else as the field's own type.
template <class T>
using ArgumentOf = std::conditional_t<std::is_same_v<T, Text>, std::string_view, T>;

}  // namespace detail

/// Cmp's own methods (cmp_py.cpp).
extern const boundary::MethodSpec cmp_methods[1];

}  // namespace kelto::package::constraint
