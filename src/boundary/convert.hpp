// Conversions of Python arguments into C++ parameter types. A failure sets the
// Python exception; the caller adds the argument-name prefix.
#pragma once

#include "boundary/errors.hpp"

#include <optional>
#include <string_view>

namespace kelto::boundary {

/// A new str holding `text` (UTF-8).
[[nodiscard]] inline Result<Owned> str_to_py(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// Specialised per parameter type: `static Result<T> convert(PyObject*)`.
template <class T>
struct Converter;

/// Any object, borrowed for the duration of the call.
template <>
struct Converter<Borrowed> {
    static Result<Borrowed> convert(PyObject* obj) noexcept { return Borrowed{obj}; }
};

/// A str (or subclass) as UTF-8, valid while the argument lives: the
/// interpreter caches the encoded form in the string object.
template <>
struct Converter<std::string_view> {
    static Result<std::string_view> convert(PyObject* obj) {
        if (!PyUnicode_Check(obj)) [[unlikely]]
            return raise_type_mismatch(obj, &PyUnicode_Type);
        // A compact ASCII str's characters are its UTF-8, NUL-terminated:
        // the same bytes PyUnicode_AsUTF8AndSize hands out, without the call.
        if (PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]]
            return std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(obj)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) [[unlikely]] return fetch_error();  // lone surrogate
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }
};

/// The contents of a bytes object (or subclass), valid while the argument lives.
struct Bytes {
    std::string_view data;
};

template <>
struct Converter<Bytes> {
    static Result<Bytes> convert(PyObject* obj) {
        if (!PyBytes_Check(obj)) [[unlikely]]
            return raise_type_mismatch(obj, &PyBytes_Type);
        return Bytes{{PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))}};
    }
};

/// An optional parameter (`=None`): absent arguments (null) and None give nullopt.
template <class T>
struct Converter<std::optional<T>> {
    static Result<std::optional<T>> convert(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return std::optional<T>{};
        auto value = Converter<T>::convert(obj);
        if (!value) return kFailed;
        return std::optional<T>{std::move(*value)};
    }
};

}  // namespace kelto::boundary
