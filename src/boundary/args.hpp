// Static descriptions of callables and the binding of Python arguments to
// them. One description per constructor or method serves the binder, the
// docstrings and the introspection records.
#pragma once

#include "boundary/errors.hpp"

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace kelto::boundary {

/// One positional-or-keyword parameter.
struct Param {
    std::string_view name;
    std::string_view annotation = "typing.Any";  ///< Python type expression, as text
    std::string_view default_value = {};         ///< Python expression; empty when required
    // For the type stubs only (the records keep `annotation`): what a type
    // checker should accept, and a second accepted type for an overload of
    // the whole signature (a dict of one value type, where `dict` is invariant).
    std::string_view stub_annotation = {};  ///< empty: `annotation`
    std::string_view stub_alternative = {};
};

/// A constructor, method or module function as Python sees it.
struct Signature {
    std::string_view owner = {};  ///< class name; empty for module functions
    std::string_view name;        ///< "__new__", "if_then", ...
    std::span<const Param> params = {};
    std::size_t required = 0;     ///< always a leading run of `params`
    bool extra_keywords = false;  ///< collects unmatched keywords (**kwargs)
    /// Every parameter positional-only ("/" in the text signature): a module
    /// function of one argument that the interpreter passes as is (METH_O).
    bool positional_only = false;
    std::string_view returns = "None";
    std::string_view stub_returns = {};  ///< for the type stubs; empty: `returns`
};

/// The description's own rules, checked at compile time with static_assert.
consteval bool well_formed(const Signature& sig) {
    if (sig.required > sig.params.size()) return false;
    if (sig.positional_only && (sig.extra_keywords || sig.params.empty())) return false;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const bool optional = !sig.params[i].default_value.empty();
        if (optional != (i >= sig.required)) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (sig.params[i].name == sig.params[j].name) return false;
    }
    return true;
}

/// Keyword arguments that matched no parameter, in call order (borrowed).
struct ExtraKeyword {
    PyObject* name;
    PyObject* value;
};

/// Where the binder puts what it found: one borrowed slot per parameter (null
/// when absent) and, for functions that collect them, the extra keywords.
struct BoundArgs {
    std::span<PyObject*> slots;
    std::vector<ExtraKeyword>* extra = nullptr;  ///< set for functions with **kwargs
};

/// Binds vectorcall arguments (positional array plus a tuple of keyword names).
[[nodiscard]] Result<void> bind_vectorcall(const Signature& sig, PyObject* const* args,
                                           std::size_t nargs, PyObject* kwnames,
                                           BoundArgs& out);

/// Binds tp_new-style arguments (a tuple and an optional dict).
[[nodiscard]] Result<void> bind_tuple_dict(const Signature& sig, PyObject* args,
                                           PyObject* kwargs, BoundArgs& out);

}  // namespace kelto::boundary
