#include "spec/option_value_py.hpp"

#include "boundary/panic.hpp"
#include "refusal.hpp"
#include "package/version_py.hpp"

namespace kelto::spec {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

constexpr logging::Callsite kCastRefused{logging::Level::Error, "kelto::spec::spec_option",
                                         "spec/spec_option", 237};

/// numpy's boolean scalars are recognised by name, so numpy is never imported.
bool is_numpy_bool_type(PyTypeObject* type) {
    Owned module = Owned::steal(PyType_GetModuleName(type));
    if (!module) {
        boundary::discard_error();
        return false;
    }
    // __module__ of a class is whatever its body assigned: None, an int, bytes.
    if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
    Owned name = Owned::steal(PyType_GetName(type));
    if (!name) {
        boundary::discard_error();
        return false;
    }
    if (!PyUnicode_Check(name.get())) return false;
    return PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
}

std::optional<bool> as_bool(Borrowed obj) {
    if (PyBool_Check(obj.get())) return obj.get() == Py_True;
    PyTypeObject* type = Py_TYPE(obj.get());
    if (!is_numpy_bool_type(type)) return std::nullopt;
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) {
        PyErr_Clear();  // GetSlot may complain about a static type
        return std::nullopt;
    }
    const int truth = nb_bool(obj.get());
    if (truth < 0) {
        boundary::discard_error();
        return std::nullopt;
    }
    return truth != 0;
}

std::optional<std::int64_t> as_int(Borrowed obj) {
    const long long value = PyLong_AsLongLong(obj.get());
    if (value == -1 && PyErr_Occurred()) {
        boundary::discard_error();  // no __index__, or outside 64 bits
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

std::optional<double> as_float(Borrowed obj) {
    if (PyFloat_CheckExact(obj.get())) return PyFloat_AS_DOUBLE(obj.get());
    const double value = PyFloat_AsDouble(obj.get());
    if (value == -1.0 && PyErr_Occurred()) {
        boundary::discard_error();
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> as_str(Borrowed obj) {
    if (!PyUnicode_Check(obj.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj.get(), &size);
    if (utf8 == nullptr) {
        boundary::discard_error();  // a lone surrogate
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<package::Version> as_version(Borrowed obj) {
    if (!boundary::is_instance(obj, package::version_class.get())) return std::nullopt;
    auto copy = boundary::read_payload<package::Version>(obj, [](const package::Version& v) { return v; });
    if (!copy) {
        boundary::discard_error();  // exclusively borrowed right now
        return std::nullopt;
    }
    return *std::move(copy);
}

Result<Owned> created_or_panic(Owned obj) {
    // Making an int, float or str from a plain value must not fail.
    if (!obj) {
        PyErr_Clear();
        boundary::panic("could not convert an option value into a Python object");
    }
    return obj;
}

}  // namespace

std::optional<SpecOptionValue> try_spec_option_value_from_py(Borrowed obj) {
    PyObject* o = obj.get();
    // Exact ints, floats and strs skip the steps that could never accept them
    // (and the exceptions those steps would raise and discard).
    if (PyLong_CheckExact(o)) {
        if (auto v = as_int(obj)) return SpecOptionValue{*v};
        if (auto v = as_float(obj)) return SpecOptionValue{*v};
        return std::nullopt;
    }
    if (PyFloat_CheckExact(o)) return SpecOptionValue{PyFloat_AS_DOUBLE(o)};
    if (PyUnicode_CheckExact(o)) {
        if (auto v = as_str(obj)) return SpecOptionValue{*std::move(v)};
        return std::nullopt;
    }
    if (auto v = as_bool(obj)) return SpecOptionValue{*v};
    if (auto v = as_int(obj)) return SpecOptionValue{*v};
    if (auto v = as_float(obj)) return SpecOptionValue{*v};
    if (auto v = as_str(obj)) return SpecOptionValue{*std::move(v)};
    if (auto v = as_version(obj)) return SpecOptionValue{*std::move(v)};
    return std::nullopt;
}

Result<SpecOptionValue> spec_option_value_from_py(Borrowed obj) {
    if (auto value = try_spec_option_value_from_py(obj)) return *std::move(value);
    return std::unexpected(refuse_logged(kCastRefused, PyExc_TypeError,
                                         Owned::steal(PyUnicode_FromFormat(
                                             "cannot cast Python type '%S' to SpecOptionValue",
                                             reinterpret_cast<PyObject*>(Py_TYPE(obj.get()))))));
}

Result<Owned> spec_option_value_to_py(const SpecOptionValue& value) {
    switch (kind_of(value)) {
        case OptionKind::Bool:
            return Owned::borrow(std::get<bool>(value) ? Py_True : Py_False);
        case OptionKind::Int:
            return created_or_panic(Owned::steal(PyLong_FromLongLong(std::get<std::int64_t>(value))));
        case OptionKind::Float:
            return created_or_panic(Owned::steal(PyFloat_FromDouble(std::get<double>(value))));
        case OptionKind::Str: {
            const auto& text = std::get<std::string>(value);
            return created_or_panic(Owned::steal(
                PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
        }
        case OptionKind::Version:
            return boundary::emplace_instance(package::version_class.get(),
                                              [&] { return std::get<package::Version>(value); });
    }
    boundary::panic("an option value of no known kind");
}

}  // namespace kelto::spec
