// Internal faults: a broken invariant, or an interpreter call that must not
// fail but did. They unwind as a C++ exception to the nearest boundary entry,
// which reports them on standard error and raises pyo3_runtime.PanicException,
// a BaseException, so the process keeps running but the call cannot be
// mistaken for an ordinary failure.
#pragma once

#include "boundary/errors.hpp"

#include <optional>
#include <source_location>
#include <string>

namespace kelto::boundary {

/// The C++ exception that carries a fault to the boundary. `where` is the
/// source line that raised it, when the fault came from `panic()`.
struct Panic {
    std::string message;
    std::optional<std::source_location> where = std::nullopt;
};

/// A module class's own name: "Cmp" for the type named "builtins.Cmp".
[[nodiscard]] std::string_view class_name(PyTypeObject* type) noexcept;

/// The entry from Python a fault ended: "Cmp.__new__", "Version.__repr__",
/// "init_tracing". A slot shared by several classes names its receiver and
/// leaves `owner` empty: the class is read off the receiver's type.
struct EntryName {
    std::string_view owner;
    std::string_view member;
    PyObject* receiver = nullptr;
};

/// Ends the current Python call with the panic exception.
[[noreturn, gnu::cold]] void panic(std::string message,
                                   std::source_location where = std::source_location::current());

/// At the boundary: writes the report (naming `entry`) to standard error and
/// sets the panic exception carrying the fault's message.
[[gnu::cold]] void raise_panic(const Panic& fault, const EntryName& entry) noexcept;

/// The class pyo3_runtime.PanicException, created on first need; null with an
/// exception set if the interpreter refuses to create it.
[[nodiscard]] PyObject* panic_exception_type() noexcept;

/// After an interpreter call that may have run Python code failed: if the
/// pending exception is our own panic coming back through Python code, it is
/// not an ordinary error; report it and continue unwinding as a panic.
void resume_panic_from_python();

}  // namespace kelto::boundary
