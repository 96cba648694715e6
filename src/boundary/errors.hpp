// The exact texts of the generic failures, kept here once. Every builder sets
// the Python exception and returns the failure value, so call sites read
// `return raise_...(...)`.
#pragma once

#include "boundary/ref.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace kelto::boundary {

/// Marks a failed boundary operation whose Python exception is already set.
/// It converts into the failure of any Result, so a function returning one
/// ends with `return raise_...(...);`, or with `return kFailed;` once the
/// exception is set.
struct ErrorSet {
    template <class T>
    constexpr operator std::expected<T, ErrorSet>() const noexcept {  // NOLINT(google-explicit-constructor)
        return std::unexpected(*this);
    }
};
/// The one spelling of "pass the pending exception on" from a function that
/// returns a Result. (A function returning a bare ErrorSet says `return {};`.)
inline constexpr std::unexpected<ErrorSet> kFailed{ErrorSet{}};

/// A value, or a pending Python exception.
template <class T>
using Result = std::expected<T, ErrorSet>;

/// Converts `Result<Owned>` and friends into the slot convention (null = error).
[[nodiscard]] inline PyObject* release_or_null(Result<Owned>&& r) noexcept {
    return r ? r->release() : nullptr;
}

/// Sets `type(message)` as the pending exception.
[[gnu::cold]] ErrorSet raise(PyObject* type, std::string_view message) noexcept;

/// TypeError "'<qualname of obj's type>' object cannot be cast as '<qualname of expected>'".
[[gnu::cold]] ErrorSet raise_type_mismatch(Borrowed obj, PyTypeObject* expected) noexcept;

/// The same, for an expected type named by its __qualname__ ("Sequence").
[[gnu::cold]] ErrorSet raise_type_mismatch(Borrowed obj, std::string_view expected_qualname) noexcept;

/// AttributeError "can't delete attribute".
[[gnu::cold]] ErrorSet raise_cant_delete() noexcept;

/// The fetch rule: after an interpreter call reported failure, make sure an
/// exception is pending (SystemError "attempted to fetch exception but none
/// was set" when the interpreter forgot to set one). Throws a Panic when the
/// pending exception is our own panic coming back through Python code.
[[gnu::cold]] ErrorSet fetch_error();

/// A new reference returned by an interpreter call, or, when the call failed
/// (returned null), the pending error under the fetch rule.
[[nodiscard]] inline Result<Owned> checked(PyObject* result) {
    if (result != nullptr) [[likely]] return Owned::steal(result);
    return fetch_error();
}

/// The same for calls that report failure with a negative status.
[[nodiscard]] inline Result<void> checked(int status) {
    if (status >= 0) [[likely]] return {};
    return fetch_error();
}

/// Drops the pending exception of a step that failed so the caller can try
/// something else. What is not an Exception (KeyboardInterrupt, SystemExit)
/// and the resource errors (MemoryError, RecursionError, SystemError) are
/// never dropped: they stay pending and come back as the failure, which ends
/// the call. A panic coming back through Python code throws.
[[nodiscard]] Result<void> discard_error();

/// Re-raises a pending exactly-TypeError as TypeError("argument '<name>': "
/// + its text), keeping its __cause__. Any other exception passes unchanged.
/// Throws a Panic when str() of the error brings back our own panic.
[[gnu::cold]] ErrorSet prefix_argument_error(std::string_view name);

/// The text of an exception as its str(), or "<unprintable T object>" when
/// str() fails with an ordinary error. Anything else str() raises
/// (KeyboardInterrupt, SystemExit) is the failure; our own panic throws.
[[nodiscard]] Result<Owned> exception_text(Borrowed exc);

/// A str as UTF-8, lone surrogates written as backslash escapes ("\ud800"),
/// as the interpreter's own messages show them. Never fails.
[[nodiscard]] std::string escaped_utf8(Borrowed text);

}  // namespace kelto::boundary
