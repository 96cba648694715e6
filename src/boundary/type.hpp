// Class objects made from static descriptions, and the instance layout they
// share: the object header, one payload owned by value, a borrow flag.
#pragma once

#include "boundary/args.hpp"
#include "boundary/borrow.hpp"
#include "boundary/panic.hpp"

#include <new>
#include <span>
#include <string_view>
#include <utility>

namespace kelto::boundary {

/// Every instance of a module class: header, payload, borrow state.
template <class Payload>
struct Instance {
    PyObject ob_base;
    Payload payload;
    BorrowFlag borrow;
};

template <class Payload>
[[nodiscard]] inline Instance<Payload>& instance_cast(PyObject* self) noexcept {
    return *reinterpret_cast<Instance<Payload>*>(self);
}

/// A constructor as a class lists it; made by boundary::constructor<>.
struct ConstructorSpec {
    const Signature* signature = nullptr;  ///< null: the class cannot be instantiated
    newfunc new_ = nullptr;
    vectorcallfunc vectorcall = nullptr;
};

/// A method as a class lists it; made by boundary::method<>.
struct MethodSpec {
    const Signature* signature;
    PyObject* (*call)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    const char* doc;  ///< "name($self, ...)\n--\n\n..." so Python derives the text signature
};

/// A property; `set` is null for read-only ones. Made by boundary::property<>.
struct PropertySpec {
    const char* name;
    std::string_view annotation;
    getter get;
    setter set;
};

/// A class attribute set once the class exists (the members of an enum-like
/// class); `make` builds the value and may use the new class itself.
struct ClassAttribute {
    const char* name;
    Result<Owned> (*make)(PyTypeObject* cls);
};

/// Everything the interpreter needs to make one class, and everything the
/// introspection records say about it.
struct ClassSpec {
    std::string_view name;        ///< the bare class name, "Version"
    const char* qualified_name;   ///< "builtins.Version": __module__ is "builtins"
    const char* doc;              ///< "Version(ver)\n--\n\n..."; null for no docstring
    int basic_size;
    destructor dealloc;
    ConstructorSpec constructor = {};
    reprfunc repr = nullptr;
    reprfunc str = nullptr;
    richcmpfunc richcompare = nullptr;
    std::span<const MethodSpec> methods = {};
    std::span<const PropertySpec> properties = {};
    std::span<const ClassAttribute> attributes = {};
};

/// A class object created on first use and kept for the rest of the process.
class ClassObject {
public:
    constexpr explicit ClassObject(const ClassSpec& spec) noexcept : spec_{spec} {}

    /// The class, creating it if needed; creation errors come back as Python errors.
    [[nodiscard]] Result<PyTypeObject*> get_or_create();

    /// The class inside a call: failing to create it is an internal fault
    /// ("failed to create type object for `Version`").
    [[nodiscard]] PyTypeObject* get() {
        if (type_ != nullptr) [[likely]] return type_;
        return create_or_panic();
    }

    [[nodiscard]] const ClassSpec& spec() const noexcept { return spec_; }

private:
    PyTypeObject* create_or_panic();
    const ClassSpec& spec_;
    PyTypeObject* type_ = nullptr;
};

/// A new instance of `cls` owning `payload`. On failure the payload is
/// destroyed and the interpreter's error is returned.
template <class Payload>
[[nodiscard]] Result<Owned> new_instance(PyTypeObject* cls, Payload&& payload) {
    PyObject* self = cls->tp_alloc(cls, 0);
    if (self == nullptr) return std::unexpected(fetch_error());
    auto& inst = instance_cast<std::remove_cvref_t<Payload>>(self);
    // tp_alloc zeroed the memory; construct the members in place.
    std::construct_at(&inst.payload, std::forward<Payload>(payload));
    std::construct_at(&inst.borrow);
    return Owned::steal(self);
}

/// tp_dealloc for every class: destroy the payload, free the object, release
/// the reference that a heap type's instance holds on its class.
template <class Payload>
void dealloc(PyObject* self) noexcept {
    auto& inst = instance_cast<Payload>(self);
    std::destroy_at(&inst.payload);
    std::destroy_at(&inst.borrow);
    PyTypeObject* cls = Py_TYPE(self);
    cls->tp_free(self);
    Py_DECREF(cls);
}

}  // namespace kelto::boundary
