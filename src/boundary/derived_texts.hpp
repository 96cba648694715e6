// Texts derived at compile time from one declaration, so that a class's name,
// its type name and its docstring's signature line are never typed twice:
// "builtins.Cmp" and "Cmp(lhs, rhs, op)\n--\n\n" both come from the
// constructor's Signature, "if_then($self, then)\n--\n\n" from the method's.
#pragma once

#include "boundary/args.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace kelto::boundary {

/// A string usable as a template argument (a property's or a class's name).
template <std::size_t N>
struct FixedString {
    char text[N]{};
    consteval FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT
    [[nodiscard]] constexpr std::string_view view() const { return {text, N - 1}; }
};

/// A NUL-terminated text in static storage.
template <std::size_t N>
struct StaticText {
    char text[N]{};
    [[nodiscard]] constexpr const char* c_str() const { return text; }
};

/// The text `Build()` returns (a consteval lambda making a std::string),
/// frozen into static storage.
template <auto Build>
inline constexpr auto kStaticText = [] {
    constexpr std::size_t size = Build().size();
    StaticText<size + 1> out{};
    const std::string text = Build();
    std::copy_n(text.data(), size, out.text);
    return out;
}();

/// "(lhs, rhs, op)", "($self, then)", "(name, constraints=None, **kwargs)", "(data, /)".
consteval std::string text_signature(const Signature& sig, std::string_view receiver) {
    std::string out = "(";
    auto add = [&](std::string_view part) {
        if (out.size() > 1) out += ", ";
        out += part;
    };
    if (!receiver.empty()) add(receiver);
    for (const Param& p : sig.params) {
        add(p.name);
        if (!p.default_value.empty()) (out += "=") += p.default_value;
    }
    if (sig.positional_only) add("/");
    if (sig.extra_keywords) add("**kwargs");
    return out + ")";
}

/// "builtins.<owner>": the type name that makes __module__ "builtins".
template <FixedString Name>
inline constexpr const char* kQualifiedName =
    kStaticText<[] { return "builtins." + std::string(Name.view()); }>.c_str();

/// The same for a class named by its constructor's signature.
template <const Signature& Sig>
inline constexpr const char* kQualifiedNameOf =
    kStaticText<[] { return "builtins." + std::string(Sig.owner); }>.c_str();

/// A class's docstring: "<owner>(params)\n--\n\n" and `Tail`.
template <const Signature& Sig, FixedString Tail = "">
inline constexpr const char* kClassDoc =
    kStaticText<[] { return std::string(Sig.owner) + text_signature(Sig, "") + "\n--\n\n" + std::string(Tail.view()); }>
        .c_str();

/// A module function's docstring: "<name>(params)\n--\n\n" and `Tail`, so
/// that without a tail __doc__ is None, and __text_signature__ the parameters.
template <const Signature& Sig, FixedString Tail = "">
inline constexpr const char* kFunctionDoc =
    kStaticText<[] { return std::string(Sig.name) + text_signature(Sig, "") + "\n--\n\n" + std::string(Tail.view()); }>
        .c_str();

/// A method's docstring: "<name>($self, params)\n--\n\n" and `Tail`.
template <const Signature& Sig, FixedString Tail = "">
inline constexpr const char* kMethodDoc =
    kStaticText<[] { return std::string(Sig.name) + text_signature(Sig, "$self") + "\n--\n\n" + std::string(Tail.view()); }>
        .c_str();

}  // namespace kelto::boundary
