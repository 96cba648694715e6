#include "boundary/module.hpp"

namespace kelto::boundary {
namespace {

Owned str(std::string_view text) {
    return Owned::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// module.__all__, created as an empty list when the module has none yet.
Result<Owned> all_list(Borrowed module) {
    Owned all = Owned::steal(PyObject_GetAttrString(module.get(), "__all__"));
    if (all) {
        if (!PyList_Check(all.get()))
            return std::unexpected(raise_type_mismatch(all, &PyList_Type));
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::unexpected(fetch_error());
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all) return std::unexpected(fetch_error());
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0)
        return std::unexpected(fetch_error());
    return all;
}

}  // namespace

Result<Owned> create_module(const char* short_name) {
    Owned module = Owned::steal(PyModule_New(short_name));
    if (!module) return std::unexpected(fetch_error());
    return module;
}

Result<void> add(Borrowed module, std::string_view name, Borrowed value) {
    auto all = all_list(module);
    if (!all) return std::unexpected(all.error());
    Owned key = str(name);
    if (!key) return std::unexpected(fetch_error());
    if (PyList_Append(all->get(), key.get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module.get(), key.get(), value.get()) < 0) return std::unexpected(fetch_error());
    return {};
}

Result<void> add_class(Borrowed module, ClassObject& cls) {
    auto type = cls.get_or_create();
    if (!type) return std::unexpected(type.error());
    return add(module, cls.spec().name, reinterpret_cast<PyObject*>(*type));
}

Result<void> add_submodule(Borrowed parent, Borrowed child, const char* key) {
    Owned name = Owned::steal(PyModule_GetNameObject(child.get()));
    if (!name) return std::unexpected(fetch_error());
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) return std::unexpected(fetch_error());
    if (auto r = add(parent, std::string_view(utf8, static_cast<std::size_t>(size)), child); !r) return r;

    Owned sys = Owned::steal(PyImport_ImportModule("sys"));
    if (!sys) return std::unexpected(fetch_error());
    Owned modules = Owned::steal(PyObject_GetAttrString(sys.get(), "modules"));
    if (!modules) return std::unexpected(fetch_error());
    Owned dotted = Owned::steal(PyUnicode_FromString(key));
    if (!dotted) return std::unexpected(fetch_error());
    if (PyObject_SetItem(modules.get(), dotted.get(), child.get()) < 0) return std::unexpected(fetch_error());
    return {};
}

Result<void> add_function(Borrowed module, PyMethodDef& def) {
    Owned module_name = Owned::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return std::unexpected(fetch_error());
    Owned function = Owned::steal(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!function) return std::unexpected(fetch_error());
    return add(module, def.ml_name, function);
}

}  // namespace kelto::boundary
