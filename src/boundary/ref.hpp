// References to Python objects as types, so every transfer of ownership is
// visible at the call site and every early return releases what it holds.
#pragma once

#include <Python.h>

#include <utility>

namespace kelto::boundary {

/// A non-owning handle: never touches the reference count.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : ptr_{p} {}  // NOLINT(google-explicit-constructor)
    [[nodiscard]] constexpr PyObject* get() const noexcept { return ptr_; }
    constexpr explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

/// Owns one reference, or none: a null `Owned` is empty (moved from, or never
/// filled), never an error flag. A failed call says so through `Result`.
class Owned {
public:
    constexpr Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : ptr_{std::exchange(other.ptr_, nullptr)} {}
    Owned& operator=(Owned&& other) noexcept {
        // Install the new pointer first: the release may run a __del__ that
        // reaches this very object again.
        Py_XDECREF(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    ~Owned() { Py_XDECREF(ptr_); }

    /// Takes over a new reference (as returned by most C API calls).
    [[nodiscard]] static Owned steal(PyObject* p) noexcept { return Owned{p}; }
    /// Takes a new reference to a borrowed object.
    [[nodiscard]] static Owned borrow(Borrowed p) noexcept { return Owned{Py_XNewRef(p.get())}; }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    /// Hands the reference to the caller (a slot's return value, a stealing call).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    operator Borrowed() const noexcept { return Borrowed{ptr_}; }  // NOLINT(google-explicit-constructor)

private:
    explicit Owned(PyObject* p) noexcept : ptr_{p} {}
    PyObject* ptr_ = nullptr;
};

/// A new reference to None, for functions that return nothing.
[[nodiscard]] inline Owned none() noexcept { return Owned::borrow(Py_None); }

}  // namespace kelto::boundary
