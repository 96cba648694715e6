#include "boundary/type.hpp"

#include <format>
#include <vector>

namespace kelto::boundary {
namespace {

/// The method and property tables must outlive the class, which lives until
/// the process ends: they are built once per class and never freed.
PyMethodDef* method_table(const ClassSpec& spec) {
    auto* table = new std::vector<PyMethodDef>;
    for (const MethodSpec& m : spec.methods)
        table->push_back({m.signature->name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.call)),
                          METH_FASTCALL | METH_KEYWORDS, m.doc});
    if (spec.generic)
        table->push_back({"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"});
    table->push_back({});
    return table->data();
}

PyGetSetDef* property_table(const ClassSpec& spec) {
    auto* table = new std::vector<PyGetSetDef>;
    for (const PropertySpec& p : spec.properties) table->push_back({p.name, p.get, p.set, nullptr, nullptr});
    table->push_back({});
    return table->data();
}

/// RuntimeError "An error occurred while initializing `Class.attr`", caused by
/// the pending error.
ErrorSet attribute_failed(const ClassSpec& spec, std::string_view attribute) {
    Owned cause = Owned::steal(PyErr_GetRaisedException());
    raise(PyExc_RuntimeError,
          std::format("An error occurred while initializing `{}.{}`", spec.name, attribute));
    if (cause) {
        Owned error = Owned::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());  // steals the cause
        PyErr_SetRaisedException(error.release());
    }
    return {};
}

/// Classes are immutable, so their attributes go straight into the class's
/// dictionary; the type's attribute cache is told afterwards.
Result<void> set_attributes(const ClassSpec& spec, PyTypeObject* cls) {
    if (spec.attributes.empty()) return {};
    auto dict = checked(PyType_GetDict(cls));
    if (!dict) return attribute_failed(spec, "__dict__");
    for (const ClassAttribute& attribute : spec.attributes) {
        auto value = attribute.make(cls);
        if (!value || !checked(PyDict_SetItemString(dict->get(), attribute.name, value->get())))
            return attribute_failed(spec, attribute.name);
    }
    PyType_Modified(cls);
    return {};
}

Result<PyTypeObject*> create(const ClassSpec& spec) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    if (spec.constructor.new_ != nullptr)
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor.new_)});
    if (spec.constructor.vectorcall != nullptr)
        slots.push_back({Py_tp_vectorcall, reinterpret_cast<void*>(spec.constructor.vectorcall)});
    for (const UnarySlot& slot : kUnarySlots)
        if (spec.*slot.field != nullptr) slots.push_back({slot.id, reinterpret_cast<void*>(spec.*slot.field)});
    if (spec.richcompare != nullptr)
        slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(spec.richcompare)});
    if (spec.unhashable) slots.push_back({Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)});
    if (!spec.methods.empty() || spec.generic) slots.push_back({Py_tp_methods, method_table(spec)});
    if (!spec.properties.empty()) slots.push_back({Py_tp_getset, property_table(spec)});
    slots.push_back({0, nullptr});

    // No base-type flag (Python cannot subclass), no dict, no weakrefs; a class
    // without a constructor cannot be instantiated at all. Immutable: Python
    // may not replace __new__ or a slot, nor move an instance to another class
    // by assigning __class__, which would hand out a payload no constructor built.
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (spec.constructor.signature == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{spec.qualified_name, spec.basic_size, 0, flags, slots.data()};
    auto cls = checked(PyType_FromSpec(&type_spec));
    if (!cls) return kFailed;
    if (auto r = set_attributes(spec, reinterpret_cast<PyTypeObject*>(cls->get())); !r) return kFailed;
    return reinterpret_cast<PyTypeObject*>(cls->release());
}

}  // namespace

Result<PyTypeObject*> ClassObject::get_or_create() {
    if (type_ != nullptr) return type_;
    Result<PyTypeObject*> created = kFailed;
    try {
        created = create(spec_);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!created) return fetch_error();
    return type_ = *created;
}

PyTypeObject* ClassObject::create_or_panic() {
    if (auto type = get_or_create()) return *type;
    PyErr_Print();
    panic(std::format("failed to create type object for `{}`", spec_.name));
}

}  // namespace kelto::boundary
