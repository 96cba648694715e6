#include "boundary/module.hpp"

namespace kelto::boundary {
namespace {

/// module.__all__, created as an empty list when the module has none yet.
Result<Owned> all_list(Borrowed module) {
    if (PyObject* all = PyObject_GetAttrString(module.get(), "__all__")) {
        if (!PyList_Check(all)) return raise_type_mismatch(Owned::steal(all), &PyList_Type);
        return Owned::steal(all);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_error();
    PyErr_Clear();
    auto all = checked(PyList_New(0));
    if (!all) return all;
    if (auto r = checked(PyObject_SetAttrString(module.get(), "__all__", all->get())); !r)
        return kFailed;
    return all;
}

}  // namespace

Result<Owned> create_module(const char* short_name) { return checked(PyModule_New(short_name)); }

Result<void> add(Borrowed module, std::string_view name, Borrowed value) {
    auto all = all_list(module);
    if (!all) return kFailed;
    auto key = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key) return kFailed;
    if (PyList_Append(all->get(), key->get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    return checked(PyObject_SetAttr(module.get(), key->get(), value.get()));
}

Result<void> add_class(Borrowed module, ClassObject& cls) {
    auto type = cls.get_or_create();
    if (!type) return kFailed;
    return add(module, cls.spec().name, reinterpret_cast<PyObject*>(*type));
}

Result<void> add_submodule(Borrowed parent, Borrowed child, const char* key) {
    auto name = checked(PyModule_GetNameObject(child.get()));
    if (!name) return kFailed;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name->get(), &size);
    if (utf8 == nullptr) return fetch_error();
    if (auto r = add(parent, std::string_view(utf8, static_cast<std::size_t>(size)), child); !r) return r;
    return register_module(child, key);
}

Result<void> register_module(Borrowed module, const char* key) {
    auto sys = checked(PyImport_ImportModule("sys"));
    if (!sys) return kFailed;
    auto modules = checked(PyObject_GetAttrString(sys->get(), "modules"));
    if (!modules) return kFailed;
    return checked(PyMapping_SetItemString(modules->get(), key, module.get()));
}

Result<void> add_function(Borrowed module, PyMethodDef& def) {
    auto module_name = checked(PyModule_GetNameObject(module.get()));
    if (!module_name) return kFailed;
    auto function = checked(PyCFunction_NewEx(&def, module.get(), module_name->get()));
    if (!function) return kFailed;
    return add(module, def.ml_name, *function);
}

}  // namespace kelto::boundary
