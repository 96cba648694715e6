#include "package/constraint/operators_py.hpp"

#include "boundary/call.hpp"
#include "boundary/instance.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/refusal.hpp"
#include "package/constraint/convert_py.hpp"

#include <iterator>
#include <string_view>

namespace kelto::package::constraint {
namespace {

/// The interpreter's comparison codes (Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT,
/// Py_GE) in our operator numbering.
constexpr CmpType kOperatorOfCode[] = {CmpType::Less,     CmpType::LessOrEqual, CmpType::Equal,
                                       CmpType::NotEqual, CmpType::Greater,     CmpType::GreaterOrEqual};

/// "__lt__" for Py_LT, and so on: the entry a panic report names.
constexpr std::string_view operator_slot_name(int code) noexcept {
    constexpr std::string_view kNames[] = {"__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"};
    return code >= 0 && code < 6 ? kNames[code] : "__richcmp__";
}

/// A failed step answers NotImplemented, unless its error may not be dropped.
PyObject* not_implemented() {
    return boundary::discard_error() ? Py_NewRef(Py_NotImplemented) : nullptr;
}

}  // namespace

PyObject* rich_compare(PyObject* self, PyObject* rhs, int code) noexcept {
    return boundary::guarded({{}, operator_slot_name(code), self}, [&]() -> PyObject* {
        // The right side is converted while self stays borrowed: Python code
        // run by the conversion may read self, but not change it.
        auto result = boundary::read_payload<Holder>(self, [&](const Holder& held) -> PyObject* {
            // The left side goes into the Cmp: a leaf built in its object
            // moves into a node of its own now, before any Python code runs.
            const Constraint& lhs = held.node();
            auto other = constraint_from_py(rhs);
            if (!other) return not_implemented();  // its ERROR event has been emitted
            if (code < 0 || code >= static_cast<int>(std::size(kOperatorOfCode)))
                return Py_NewRef(Py_NotImplemented);  // never passed by the interpreter
            const CmpType op = kOperatorOfCode[static_cast<std::size_t>(code)];
            if (auto refused = check_cmp(lhs, *other, op)) {
                boundary::raise(PyExc_NotImplementedError, refusal_text(lhs, *other, op, *refused));
                return nullptr;
            }
            return boundary::release_or_null(constraint_to_py(Constraint(CmpPayload{lhs, *std::move(other), op})));
        });
        return result ? *result : not_implemented();
    }, static_cast<PyObject*>(nullptr));
}

}  // namespace kelto::package::constraint
