#include "package/option/option_value_py.hpp"

#include "boundary/panic.hpp"
#include "boundary/refusal.hpp"
#include "package/version/version_py.hpp"

namespace kelto::package::option {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

constexpr process::Callsite kCastRefused{process::Level::Error, "kelto::spec::spec_option"};

/// A step of the cast: the value, nothing when the step does not apply, or a
/// pending error that must end the call (an interrupt raised by a hook).
template <class T>
using Step = Result<std::optional<T>>;

/// After a failed interpreter call: `fallback`, unless the error is one that
/// may not be dropped.
template <class T>
Result<T> dropped_or(T fallback) {
    if (auto r = boundary::discard_error(); !r) return boundary::kFailed;
    return fallback;
}

/// The same for a step of the cast: the step does not apply.
template <class T>
Step<T> not_applicable() {
    return dropped_or(std::optional<T>{});
}

/// numpy's boolean scalars are recognised by name, so numpy is never imported.
Result<bool> is_numpy_bool_type(PyTypeObject* type) {
    auto module = boundary::checked(PyType_GetModuleName(type));
    if (!module) return dropped_or(false);
    // __module__ of a class is whatever its body assigned: None, an int, bytes.
    if (!PyUnicode_Check(module->get()) || !PyUnicode_EqualToUTF8(module->get(), "numpy")) return false;
    auto name = boundary::checked(PyType_GetName(type));
    if (!name) return dropped_or(false);
    if (!PyUnicode_Check(name->get())) return false;
    return PyUnicode_EqualToUTF8(name->get(), "bool_") || PyUnicode_EqualToUTF8(name->get(), "bool");
}

Step<bool> as_bool(Borrowed obj) {
    if (PyBool_Check(obj.get())) return obj.get() == Py_True;
    PyTypeObject* type = Py_TYPE(obj.get());
    auto numpy = is_numpy_bool_type(type);
    if (!numpy) return boundary::kFailed;
    if (!*numpy) return std::nullopt;
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) return not_applicable<bool>();  // GetSlot may complain about a static type
    const int truth = nb_bool(obj.get());
    if (truth < 0) return not_applicable<bool>();
    return truth != 0;
}

/// The integer step, then the float step, together so that no hook runs
/// twice: an object's __index__ answers the integer step and, when its value
/// does not fit 64 bits and the type has no __float__, the float step too
/// (PyFloat_AsDouble alone would call it again).
Step<SpecOptionValue> as_number(Borrowed obj) {
    PyObject* o = obj.get();
    Owned index;
    if (PyLong_Check(o)) {
        index = Owned::borrow(o);
    } else if (PyIndex_Check(o)) {
        index = Owned::steal(PyNumber_Index(o));
        if (!index) {
            if (auto r = boundary::discard_error(); !r) return boundary::kFailed;
        }
    }
    if (index) {
        const long long value = PyLong_AsLongLong(index.get());
        if (value != -1 || !PyErr_Occurred()) return SpecOptionValue{static_cast<std::int64_t>(value)};
        if (auto r = boundary::discard_error(); !r) return boundary::kFailed;  // outside 64 bits
    }
    const PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
    double value = 0;
    if (PyFloat_Check(o) || (number != nullptr && number->nb_float != nullptr)) value = PyFloat_AsDouble(o);
    else if (index) value = PyLong_AsDouble(index.get());
    else return std::nullopt;
    if (value == -1.0 && PyErr_Occurred()) return not_applicable<SpecOptionValue>();
    return SpecOptionValue{value};
}

Step<std::string> as_str(Borrowed obj) {
    if (!PyUnicode_Check(obj.get())) return std::optional<std::string>{};
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj.get(), &size);
    if (utf8 == nullptr) return not_applicable<std::string>();  // a lone surrogate
    return std::string(utf8, static_cast<std::size_t>(size));
}

Step<package::version::Version> as_version(Borrowed obj) {
    if (!boundary::is_instance(obj, package::version::version_class.get())) return std::optional<package::version::Version>{};
    auto copy = boundary::read_payload<package::version::Version>(obj, [](const package::version::Version& v) { return v; });
    if (!copy) return not_applicable<package::version::Version>();  // exclusively borrowed right now
    return *std::move(copy);
}

/// Tries the steps in order; the first that gives a value is the option value.
template <class First, class... Rest>
Step<SpecOptionValue> first_of(Borrowed obj, First first, Rest... rest) {
    auto value = first(obj);
    if (!value) return boundary::kFailed;
    if (*value) return SpecOptionValue{**std::move(value)};
    if constexpr (sizeof...(Rest) > 0) return first_of(obj, rest...);
    else return std::optional<SpecOptionValue>{};
}

Result<Owned> created_or_panic(PyObject* obj) {
    // Making an int, float or str from a plain value fails only when the
    // interpreter cannot allocate: that is the caller's MemoryError.
    if (obj == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return boundary::kFailed;
        PyErr_Clear();
        boundary::panic("could not convert an option value into a Python object");
    }
    return Owned::steal(obj);
}

}  // namespace

std::optional<SpecOptionValue> plain_spec_option_value(PyObject* o) {
    if (PyBool_Check(o)) return SpecOptionValue{o == Py_True};
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
        if (utf8 == nullptr) [[unlikely]] {
            PyErr_Clear();  // a lone surrogate: the full cast refuses it
            return std::nullopt;
        }
        return SpecOptionValue{std::in_place_type<std::string>, utf8, static_cast<std::size_t>(size)};
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) return SpecOptionValue{static_cast<std::int64_t>(value)};
    }
    if (PyFloat_CheckExact(o)) return SpecOptionValue{PyFloat_AS_DOUBLE(o)};
    return std::nullopt;
}

Result<std::optional<SpecOptionValue>> try_spec_option_value_from_py(Borrowed obj) {
    PyObject* o = obj.get();
    if (auto value = plain_spec_option_value(o)) return value;
    // Exact ints beyond 64 bits and strs without a UTF-8 form skip the steps
    // that could never accept them (and the exceptions those steps would
    // raise and discard).
    if (PyLong_CheckExact(o)) return first_of(obj, as_number);
    if (PyUnicode_CheckExact(o)) return first_of(obj, as_str);
    // A Version would otherwise first be asked whether it is numpy's bool,
    // which looks its module and name up.
    if (Py_IS_TYPE(o, package::version::version_class.get())) return first_of(obj, as_version);
    return first_of(obj, as_bool, as_number, as_str, as_version);
}

Result<SpecOptionValue> spec_option_value_from_py(Borrowed obj) {
    auto value = try_spec_option_value_from_py(obj);
    if (!value) return boundary::kFailed;
    if (*value) return **std::move(value);
    return boundary::refuse_logged(kCastRefused, PyExc_TypeError,
                                         boundary::checked(PyUnicode_FromFormat(
                                             "cannot cast Python type '%S' to SpecOptionValue",
                                             reinterpret_cast<PyObject*>(Py_TYPE(obj.get())))));
}

Result<Owned> spec_option_value_to_py(const SpecOptionValue& value) {
    switch (kind_of(value)) {
        case OptionKind::Bool:
            return Owned::borrow(std::get<bool>(value) ? Py_True : Py_False);
        case OptionKind::Int:
            return created_or_panic(PyLong_FromLongLong(std::get<std::int64_t>(value)));
        case OptionKind::Float:
            return created_or_panic(PyFloat_FromDouble(std::get<double>(value)));
        case OptionKind::Str: {
            const auto& text = std::get<std::string>(value);
            return created_or_panic(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        }
        case OptionKind::Version:
            return boundary::emplace_instance(package::version::version_class.get(),
                                              [&] { return std::get<package::version::Version>(value); });
    }
    boundary::panic("an option value of no known kind");
}

}  // namespace kelto::package::option
