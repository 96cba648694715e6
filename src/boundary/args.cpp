#include "boundary/args.hpp"

#include "boundary/panic.hpp"

#include <format>
#include <string>

namespace kelto::boundary {
namespace {

/// "Depends.__new__()", or "main_entry()" for a module function.
std::string full_name(const Signature& sig) {
    if (sig.owner.empty()) return std::format("{}()", sig.name);
    return std::format("{}.{}()", sig.owner, sig.name);
}

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(std::span<const std::string_view> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[gnu::cold]] ErrorSet too_many_positional(const Signature& sig, std::size_t given) {
    const std::string_view verb = given == 1 ? "was" : "were";
    const std::size_t count = sig.params.size();
    if (sig.required == count)
        return raise(PyExc_TypeError, std::format("{} takes {} positional arguments but {} {} given",
                                                  full_name(sig), count, given, verb));
    return raise(PyExc_TypeError,
                 std::format("{} takes from {} to {} positional arguments but {} {} given",
                             full_name(sig), sig.required, count, given, verb));
}

[[gnu::cold]] ErrorSet multiple_values(const Signature& sig, std::string_view name) {
    return raise(PyExc_TypeError,
                 std::format("{} got multiple values for argument '{}'", full_name(sig), name));
}

[[gnu::cold]] ErrorSet unexpected_keyword(const Signature& sig, PyObject* keyword) {
    return raise(PyExc_TypeError, std::format("{} got an unexpected keyword argument '{}'", full_name(sig),
                                              escaped_utf8(keyword)));
}

[[gnu::cold]] ErrorSet missing_required(const Signature& sig, std::span<PyObject*> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
    return raise(PyExc_TypeError,
                 std::format("{} missing {} required positional argument{}: {}", full_name(sig),
                             missing.size(), missing.size() == 1 ? "" : "s",
                             quoted_list(missing)));
}

/// Index of the parameter named `keyword`, or -1. Keyword names are almost
/// always interned literals, so compare without decoding first.
Py_ssize_t find_param(const Signature& sig, PyObject* keyword) noexcept {
    if (!PyUnicode_Check(keyword)) return -1;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const std::string_view name = sig.params[i].name;
        if (PyUnicode_EqualToUTF8AndSize(keyword, name.data(), static_cast<Py_ssize_t>(name.size())))
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

Result<void> bind_positional(const Signature& sig, PyObject* const* args, std::size_t nargs,
                             BoundArgs& out) {
    if (nargs > sig.params.size()) return too_many_positional(sig, nargs);
    for (std::size_t i = 0; i < nargs; ++i) out.slots[i] = args[i];
    return {};
}

Result<void> bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value,
                          BoundArgs& out) {
    const Py_ssize_t index = find_param(sig, keyword);
    if (index < 0) {
        if (out.extra == nullptr) return unexpected_keyword(sig, keyword);
        out.extra->push_back({keyword, value});
        return {};
    }
    PyObject*& slot = out.slots[static_cast<std::size_t>(index)];
    if (slot != nullptr)
        return multiple_values(sig, sig.params[static_cast<std::size_t>(index)].name);
    slot = value;
    return {};
}

Result<void> check_required(const Signature& sig, BoundArgs& out) {
    for (std::size_t i = 0; i < sig.required; ++i)
        if (out.slots[i] == nullptr) return missing_required(sig, out.slots);
    return {};
}

}  // namespace

Result<void> bind_vectorcall(const Signature& sig, PyObject* const* args, std::size_t nargs,
                             PyObject* kwnames, BoundArgs& out) {
    if (auto r = bind_positional(sig, args, nargs, out); !r) return kFailed;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            auto r = bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)], out);
            if (!r) return kFailed;
        }
    }
    return check_required(sig, out);
}

Result<void> bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                             BoundArgs& out) {
    const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (auto r = bind_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out); !r) return kFailed;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            auto r = bind_keyword(sig, key, value, out);
            if (!r) return kFailed;
        }
    }
    return check_required(sig, out);
}

}  // namespace kelto::boundary
