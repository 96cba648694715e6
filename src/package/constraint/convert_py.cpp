#include "package/constraint/convert_py.hpp"

#include "boundary/instance.hpp"
#include "boundary/panic.hpp"
#include "boundary/refusal.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/operators_py.hpp"
#include "package/option/option_value_py.hpp"

#include <algorithm>
#include <optional>

namespace kelto::package::constraint {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

constexpr process::Callsite kConversionRefused{process::Level::Error, "kelto::package::constraint"};

// A sequence's reported length only sizes the first allocation, and a lying
// __len__ must not make us reserve gigabytes: beyond this the vector grows.
constexpr std::size_t kMaxReservedItems = 4096;

/// A conversion that may not apply: the constraint, nothing, or a pending
/// error that must end the call.
using Attempt = Result<std::optional<Constraint>>;

/// The node of a constraint object, shared under a shared borrow; nothing
/// when `obj` is none or is exclusively borrowed. Python cannot subclass these
/// classes, and they alone compare through rich_compare: one compare tells a
/// constraint object, instead of a subtype walk or one compare per class.
Attempt share_constraint_object(Borrowed obj) {
    if (Py_TYPE(obj.get())->tp_richcompare != &rich_compare) return std::nullopt;
    auto shared = boundary::read_payload<Holder>(obj, [](const Holder& held) { return held.share(); });
    if (shared) return *std::move(shared);
    // A borrow conflict fails like a type mismatch.
    if (auto r = boundary::discard_error(); !r) return boundary::kFailed;
    return std::nullopt;
}

Attempt try_constraint_from_py(Borrowed obj) {
    if (auto c = share_constraint_object(obj); !c || *c) return c;
    auto value = option::try_spec_option_value_from_py(obj);
    if (!value) return boundary::kFailed;
    if (!*value) return std::nullopt;
    return Constraint(ValuePayload{**std::move(value)});
}

[[gnu::cold]] boundary::ErrorSet refuse(Borrowed obj) {
    return boundary::refuse_logged(kConversionRefused, PyExc_TypeError,
                         boundary::checked(PyUnicode_FromFormat("cannot convert '%S' to Constraint",
                                                                reinterpret_cast<PyObject*>(Py_TYPE(obj.get())))));
}

/// The reported length, or 0 when asking fails with an ordinary error.
Result<std::size_t> length_hint(Borrowed obj) {
    const Py_ssize_t length = PyObject_Size(obj.get());
    if (length >= 0) return static_cast<std::size_t>(length);
    if (auto r = boundary::discard_error(); !r) return boundary::kFailed;
    return 0;
}

}  // namespace

Result<Constraint> constraint_from_py(Borrowed obj) {
    auto c = try_constraint_from_py(obj);
    if (!c) return boundary::kFailed;
    if (*c) return **std::move(c);
    return refuse(obj);
}

Result<std::vector<Constraint>> constraints_from_sequence(Borrowed obj) {
    if (PyUnicode_Check(obj.get()))
        return boundary::raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj.get())) return boundary::raise_type_mismatch(obj, "Sequence");

    std::vector<Constraint> items;
    if (PyList_CheckExact(obj.get())) {
        // What iterating a list does, without the iterator: the length is
        // read again at each step, as a conversion that runs Python code may
        // change the list, and each item is held while it converts.
        items.reserve(std::min(static_cast<std::size_t>(PyList_GET_SIZE(obj.get())), kMaxReservedItems));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj.get()); ++i) {
            Owned item = Owned::borrow(PyList_GET_ITEM(obj.get(), i));
            auto converted = constraint_from_py(item);
            if (!converted) return boundary::kFailed;
            items.push_back(*std::move(converted));
        }
        return items;
    }
    const auto length = length_hint(obj);
    if (!length) return boundary::kFailed;
    items.reserve(std::min(*length, kMaxReservedItems));
    auto iterator = boundary::checked(PyObject_GetIter(obj.get()));
    if (!iterator) return boundary::kFailed;
    while (Owned item = Owned::steal(PyIter_Next(iterator->get()))) {
        auto converted = constraint_from_py(item);
        if (!converted) return boundary::kFailed;
        items.push_back(*std::move(converted));
    }
    if (PyErr_Occurred()) return boundary::fetch_error();
    return items;
}

Result<Owned> constraint_to_py(Constraint constraint) {
    return boundary::emplace_instance(class_of(constraint.kind()).get(), [&] { return Holder(std::move(constraint)); });
}

}  // namespace kelto::package::constraint
