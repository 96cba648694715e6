// Properties that expose one payload field: the getter hands out a new Python
// object built from the field (a constraint field shares its node), the
// setter converts the new value first and then, under the exclusive borrow,
// gives the object a node with the new field.
#pragma once

#include "boundary/trampoline.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/cmp_type_py.hpp"
#include "package/constraint/convert_py.hpp"
#include "package/option/option_value_py.hpp"

#include <string>
#include <vector>

namespace kelto::package::constraint {

namespace detail {
template <auto Member>
struct FieldOf;
template <class P, class T, T P::* Member>
struct FieldOf<Member> {
    using Payload = P;
    using Type = T;
};
}  // namespace detail

/// New Python objects from copies of field values.
[[nodiscard]] boundary::Result<boundary::Owned> field_to_py(const Constraint& value);
[[nodiscard]] boundary::Result<boundary::Owned> field_to_py(const std::vector<Constraint>& value);
[[nodiscard]] boundary::Result<boundary::Owned> field_to_py(const Text& value);
[[nodiscard]] boundary::Result<boundary::Owned> field_to_py(const option::SpecOptionValue& value);
[[nodiscard]] boundary::Result<boundary::Owned> field_to_py(CmpType value);

template <auto Member>
boundary::Result<boundary::Owned> get_field(const Holder& node) {
    return field_to_py(node.get<typename detail::FieldOf<Member>::Payload>().*Member);
}

template <auto Member>
void set_field(Holder& node, typename detail::FieldOf<Member>::Type value) {
    // The old value is let go of here, under the exclusive borrow: plain C++
    // data, so no Python code can run meanwhile. Other holders of the node
    // keep the field they had.
    node.edit<typename detail::FieldOf<Member>::Payload>(
        [&](auto& payload) noexcept { payload.*Member = std::move(value); });
}

/// How a field of type T is annotated: in its introspection records, and in
/// the type stubs, what it reads as and accepts (the names are the unions the
/// stubs define, tools/gen_stubs.py).
template <class T>
struct StubType;
template <>
struct StubType<Constraint> {
    static constexpr std::string_view record = "typing.Any", read = "_Constraint", accepted = "_ConstraintLike";
};
template <>
struct StubType<std::vector<Constraint>> {
    static constexpr std::string_view record = "typing.Any", read = "list[_Constraint]",
                                      accepted = "Sequence[_ConstraintLike]";
};
template <>
struct StubType<Text> {
    static constexpr std::string_view record = "str", read = "str", accepted = "str";
};
template <>
struct StubType<option::SpecOptionValue> {
    static constexpr std::string_view record = "typing.Any", read = "_OptionValue", accepted = "_OptionValue";
};
template <>
struct StubType<CmpType> {
    static constexpr std::string_view record = "CmpType", read = "CmpType", accepted = "CmpType";
};

/// The property `Name` over the field `Member`, readable and assignable.
template <boundary::FixedString Name, auto Member>
consteval boundary::PropertySpec field_property() {
    using Stub = StubType<typename detail::FieldOf<Member>::Type>;
    boundary::PropertySpec spec = boundary::property<Name, &get_field<Member>, &set_field<Member>>(Stub::record);
    spec.stub_annotation = Stub::read;
    spec.stub_setter = Stub::accepted;
    return spec;
}

}  // namespace kelto::package::constraint

/// A name: a str (or subclass) copied as UTF-8.
template <>
struct kelto::boundary::Converter<kelto::package::Text> {
    static Result<package::Text> convert(PyObject* obj) {
        auto text = Converter<std::string_view>::convert(obj);
        if (!text) return boundary::kFailed;
        return package::Text(*text);
    }
};
