// The rich comparison shared by the eight constraint classes: `a < b` does
// not answer a question, it builds the typed constraint Cmp(a, b, Less), or
// raises NotImplementedError when the two sides cannot be compared.
#pragma once

#include "boundary/call.hpp"
#include "boundary/instance.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/convert_py.hpp"
#include "package/constraint/refusal.hpp"

namespace kelto::package::constraint {

/// The interpreter's comparison codes (Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT,
/// Py_GE) in our operator numbering.
inline constexpr CmpType kOperatorOfCode[] = {CmpType::Less,     CmpType::LessOrEqual,    CmpType::Equal,
                                              CmpType::NotEqual, CmpType::Greater, CmpType::GreaterOrEqual};

/// "__lt__" for Py_LT, and so on: the entry a panic report names.
constexpr std::string_view operator_slot_name(int code) noexcept {
    constexpr std::string_view kNames[] = {"__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"};
    return code >= 0 && code < 6 ? kNames[code] : "__richcmp__";
}

/// tp_richcompare of the class whose instances hold `Payload`: builds
/// `self op rhs` as a Cmp, or raises the NotImplementedError of a refused
/// comparison. Returns NotImplemented when `rhs` converts to no constraint
/// (so the interpreter tries the reflected operation, then identity) and
/// when `self` is borrowed exclusively.
template <class Payload>
PyObject* rich_compare(PyObject* self, PyObject* rhs, int code) noexcept {
    return boundary::guarded({{}, operator_slot_name(code), self}, [&]() -> PyObject* {
        auto& inst = boundary::checked_instance<Payload>(self);
        // A failed step answers NotImplemented, unless its error may not be dropped.
        auto not_implemented = []() -> PyObject* {
            return boundary::discard_error() ? Py_NewRef(Py_NotImplemented) : nullptr;
        };
        auto borrow = boundary::SharedBorrow::take(inst.borrow);
        if (!borrow) return not_implemented();
        // The right side is converted while self stays borrowed: Python code
        // run by the conversion may read self, but not change it.
        auto other = constraint_from_py(rhs);
        if (!other) return not_implemented();  // its ERROR event has been emitted
        if (code < 0 || code >= static_cast<int>(std::size(kOperatorOfCode)))
            return Py_NewRef(Py_NotImplemented);  // never passed by the interpreter
        const CmpType op = kOperatorOfCode[static_cast<std::size_t>(code)];
        Constraint lhs(inst.payload);
        if (auto refused = check_cmp(lhs, *other, op)) {
            boundary::raise(PyExc_NotImplementedError, refusal_text(lhs, *other, op, *refused));
            return nullptr;
        }
        // The accepted comparison goes straight into the new Cmp object.
        return boundary::release_or_null(boundary::emplace_instance(
            cmp_class.get(), [&] { return CmpPayload{std::move(lhs), *std::move(other), op}; }));
    }, static_cast<PyObject*>(nullptr));
}

}  // namespace kelto::package::constraint
