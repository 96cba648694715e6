// The shape the constraint classes share: type name "builtins.<Name>",
// one instance layout (a Holder of the node), no subclassing, no dict or
// weakrefs, the shared rich comparison (which also makes instances
// unhashable), and their own constructor and properties. What the type stubs
// say each class's comparisons accept follows from its kind's value type.
#pragma once

#include "boundary/trampoline.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/operators_py.hpp"

#include <array>
#include <span>
#include <string_view>

namespace kelto::package::constraint {

namespace detail {

/// The Python type of a plain operand of value type `type`; option values
/// come in every value type but Unknown.
consteval std::string_view plain_operand(ValueType type) {
    switch (type) {
        case ValueType::Bool: return "bool";
        case ValueType::Int: return "int";
        case ValueType::Float: return "float";
        case ValueType::Str: return "str";
        case ValueType::Version: return "Version";
        case ValueType::Unknown: break;
    }
    return {};
}

/// The operands of a class's comparisons as the stubs write them
/// ("bool | Cmp | Depends | Value"), and whether the orderings take them too.
struct StubOperands {
    std::array<char, 128> text{};
    std::size_t size = 0;
    bool ordering = false;

    consteval void add(std::string_view part) {
        constexpr std::string_view kJoin = " | ";
        if (size > 0) {
            for (char c : kJoin) text[size++] = c;
        }
        for (char c : part) text[size++] = c;
    }
    [[nodiscard]] constexpr std::string_view view() const { return {text.data(), size}; }
};

template <class P>
consteval bool has_fixed_type(ValueType type) {
    if constexpr (HasFixedType<P>) return KindTraits<P>::kValueType == type;
    else return false;
}

/// What a comparison whose left side is of `Payload`'s kind lets through: the
/// plain values and the kinds of the same value type (a Value's type depends
/// on its value, so it meets every type an option value can have); booleans
/// take no ordering. A kind of no value type compares with nothing.
template <class Payload>
consteval StubOperands stub_operands() {
    StubOperands out;
    auto add_kinds = [&]<class... P>(PayloadList<P...>, auto accepts) {
        ((accepts.template operator()<P>() ? out.add(KindTraits<P>::kName) : void()), ...);
    };
    if constexpr (HasTypeFn<Payload>) {
        out.add("_OptionValue");
        add_kinds(Payloads{}, []<class P>() { return HasTypeFn<P>; });
        out.ordering = true;
    } else if constexpr (KindTraits<Payload>::kValueType.has_value()) {
        constexpr ValueType type = *KindTraits<Payload>::kValueType;
        constexpr bool plain = !plain_operand(type).empty();
        if (plain) out.add(plain_operand(type));
        add_kinds(Payloads{}, []<class P>() { return has_fixed_type<P>(type) || (plain && HasTypeFn<P>); });
        out.ordering = type != ValueType::Bool;
    }
    return out;
}

template <class Payload>
inline constexpr StubOperands kStubOperands = stub_operands<Payload>();

}  // namespace detail

/// `__new__` that builds the node of `Payload` from its converted fields, in
/// order: a leaf's in the object itself, a parent's on the heap. A field may
/// be given as a lighter type it is made from (a name as the argument's
/// std::string_view), so nothing is copied twice.
template <class Payload, class... Fields>
boundary::Result<boundary::Owned> build_node(PyTypeObject* cls, Fields... fields) {
    if constexpr (kHeldInPlace<Payload>) {
        return boundary::construct_instance<Holder>(cls, [&](Holder* at) {
            ::new (static_cast<void*>(at)) Holder(Holder::InPlace<Payload>{}, std::move(fields)...);
        });
    } else {
        return boundary::emplace_instance(cls, [&] { return Holder(Constraint::make<Payload>(std::move(fields)...)); });
    }
}

/// `base` (from boundary::class_spec) with the shape of the constraint class of `Payload`.
template <class Payload>
consteval boundary::ClassSpec constraint_class(boundary::ClassSpec base,
                                               std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods) {
    if (base.name != KindTraits<Payload>::kName) throw "a constraint class is named after its kind";
    base.richcompare = &rich_compare;
    base.unhashable = true;
    base.methods = methods;
    base.properties = properties;
    base.basic_size += static_cast<int>(kTailBytesOf<Payload>);
    base.stub_equality = detail::kStubOperands<Payload>.view();
    base.stub_ordering = detail::kStubOperands<Payload>.ordering;
    // The stubs make a class generic in the fields that hold one constraint.
    base.generic = detail::HasChildren<Payload>;
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
