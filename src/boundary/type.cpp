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
    table->push_back({});
    return table->data();
}

PyGetSetDef* property_table(const ClassSpec& spec) {
    auto* table = new std::vector<PyGetSetDef>;
    for (const PropertySpec& p : spec.properties) table->push_back({p.name, p.get, p.set, nullptr, nullptr});
    table->push_back({});
    return table->data();
}

PyTypeObject* create(const ClassSpec& spec) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    if (spec.new_ != nullptr) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.new_)});
    if (spec.vectorcall != nullptr) slots.push_back({Py_tp_vectorcall, reinterpret_cast<void*>(spec.vectorcall)});
    if (spec.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
    if (spec.str != nullptr) slots.push_back({Py_tp_str, reinterpret_cast<void*>(spec.str)});
    if (spec.richcompare != nullptr)
        slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(spec.richcompare)});
    if (!spec.methods.empty()) slots.push_back({Py_tp_methods, method_table(spec)});
    if (!spec.properties.empty()) slots.push_back({Py_tp_getset, property_table(spec)});
    slots.push_back({0, nullptr});

    // No base-type flag (Python cannot subclass), no dict, no weakrefs; a class
    // without a constructor cannot be instantiated at all.
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (spec.constructor == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{spec.qualified_name, spec.basic_size, 0, flags, slots.data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace

Result<PyTypeObject*> ClassObject::get_or_create() {
    if (type_ == nullptr) {
        try {
            type_ = create(spec_);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (type_ == nullptr) return std::unexpected(fetch_error());
    }
    return type_;
}

PyTypeObject* ClassObject::create_or_panic() {
    if (auto type = get_or_create()) return *type;
    PyErr_Print();
    panic(std::format("failed to create type object for `{}`", spec_.name));
}

}  // namespace kelto::boundary
