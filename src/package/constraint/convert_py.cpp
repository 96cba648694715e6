#include "package/constraint/convert_py.hpp"

#include "boundary/instance.hpp"
#include "boundary/panic.hpp"
#include "refusal.hpp"
#include "package/constraint/classes_py.hpp"
#include "spec/option_value_py.hpp"

#include <algorithm>
#include <optional>

namespace kelto::package::constraint {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

constexpr logging::Callsite kConversionRefused{logging::Level::Error, "kelto::package::constraint",
                                               "package/constraint/mod", 324};

// A sequence's reported length only sizes the first allocation, and a lying
// __len__ must not make us reserve gigabytes: beyond this the vector grows.
constexpr std::size_t kMaxReservedItems = 4096;

/// The payload of `obj`, an instance of the payload's class, copied into a
/// Constraint; nothing while it is exclusively borrowed.
template <class Payload>
std::optional<Constraint> copy_instance(Borrowed obj) {
    auto copied = boundary::read_payload<Payload>(obj, [](const Payload& p) { return Constraint(p); });
    if (!copied) {
        boundary::discard_error();  // a borrow conflict fails like a type mismatch
        return std::nullopt;
    }
    return *std::move(copied);
}

/// A constraint object's copy, when `obj` is one. Python cannot subclass
/// these classes, so an instance's type is the class itself: one compare
/// per class instead of a subtype walk.
std::optional<Constraint> copy_constraint_object(Borrowed obj) {
    PyTypeObject* type = Py_TYPE(obj.get());
    if (type == cmp_class.get()) return copy_instance<CmpPayload>(obj);
    if (type == depends_class.get()) return copy_instance<DependsPayload>(obj);
    if (type == if_then_class.get()) return copy_instance<IfThenPayload>(obj);
    if (type == maximize_class.get()) return copy_instance<MaximizePayload>(obj);
    if (type == minimize_class.get()) return copy_instance<MinimizePayload>(obj);
    if (type == num_of_class.get()) return copy_instance<NumOfPayload>(obj);
    if (type == spec_option_class.get()) return copy_instance<SpecOptionPayload>(obj);
    if (type == value_class.get()) return copy_instance<ValuePayload>(obj);
    return std::nullopt;
}

std::optional<Constraint> try_constraint_from_py(Borrowed obj) {
    if (auto c = copy_constraint_object(obj)) return c;
    if (auto value = spec::try_spec_option_value_from_py(obj)) return Constraint(ValuePayload{*std::move(value)});
    return std::nullopt;
}

[[gnu::cold]] boundary::ErrorSet refuse(Borrowed obj) {
    return refuse_logged(kConversionRefused, PyExc_TypeError,
                         Owned::steal(PyUnicode_FromFormat("cannot convert '%S' to Constraint",
                                                           reinterpret_cast<PyObject*>(Py_TYPE(obj.get())))));
}

/// The reported length, or 0 when asking fails.
std::size_t length_hint(Borrowed obj) {
    const Py_ssize_t length = PyObject_Size(obj.get());
    if (length < 0) {
        boundary::discard_error();
        return 0;
    }
    return static_cast<std::size_t>(length);
}

template <class Payload>
Result<Owned> instance_of(Constraint&& c) {
    return boundary::emplace_instance(class_of<Payload>().get(), [&] { return std::move(c).take<Payload>(); });
}

}  // namespace

Result<Constraint> constraint_from_py(Borrowed obj) {
    if (auto c = try_constraint_from_py(obj)) return *std::move(c);
    return std::unexpected(refuse(obj));
}

Result<std::vector<Constraint>> constraints_from_sequence(Borrowed obj) {
    if (PyUnicode_Check(obj.get()))
        return std::unexpected(boundary::raise(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    if (!PySequence_Check(obj.get())) return std::unexpected(boundary::raise_type_mismatch(obj, "Sequence"));

    std::vector<Constraint> items;
    items.reserve(std::min(length_hint(obj), kMaxReservedItems));
    Owned iterator = Owned::steal(PyObject_GetIter(obj.get()));
    if (!iterator) return std::unexpected(boundary::fetch_error());
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
        auto converted = constraint_from_py(item);
        if (!converted) return std::unexpected(converted.error());
        items.push_back(*std::move(converted));
    }
    if (PyErr_Occurred()) return std::unexpected(boundary::fetch_error());
    return items;
}

Result<Owned> constraint_to_py(Constraint constraint) {
    switch (constraint.kind()) {
        case Kind::Cmp: return instance_of<CmpPayload>(std::move(constraint));
        case Kind::Depends: return instance_of<DependsPayload>(std::move(constraint));
        case Kind::IfThen: return instance_of<IfThenPayload>(std::move(constraint));
        case Kind::Maximize: return instance_of<MaximizePayload>(std::move(constraint));
        case Kind::Minimize: return instance_of<MinimizePayload>(std::move(constraint));
        case Kind::NumOf: return instance_of<NumOfPayload>(std::move(constraint));
        case Kind::SpecOption: return instance_of<SpecOptionPayload>(std::move(constraint));
        case Kind::Value: return instance_of<ValuePayload>(std::move(constraint));
    }
    boundary::panic("a constraint of no known kind");
}

}  // namespace kelto::package::constraint
