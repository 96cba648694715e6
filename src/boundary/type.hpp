// Class objects made from static descriptions.
#pragma once

#include "boundary/args.hpp"
#include "boundary/borrow.hpp"
#include "boundary/panic.hpp"

#include <span>
#include <string_view>
#include <utility>

namespace kelto::boundary {

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
    // For the type stubs only: the type read, and the type accepted on assignment.
    std::string_view stub_annotation = {};  ///< empty: `annotation`
    std::string_view stub_setter = {};      ///< empty: the type read
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
    unaryfunc to_int = nullptr;  ///< __int__
    bool unhashable = false;     ///< refuse hash() even before any comparison slot exists
    std::span<const MethodSpec> methods = {};
    std::span<const PropertySpec> properties = {};
    std::span<const ClassAttribute> attributes = {};
    bool slot_records = true;  ///< describe __repr__, __str__ and __int__ in the introspection records
    /// Subscriptable at run time (`Cmp[Depends, Value]` is a types.GenericAlias),
    /// as the class is generic in the type stubs. Not in the introspection records.
    bool generic = false;
    // For the type stubs only: the operand type of == and != (empty: the
    // class declares no comparison), and whether <, <=, > and >= accept it too.
    std::string_view stub_equality = {};
    bool stub_ordering = false;
};

/// The one-argument slots a class may fill, with their Python names and
/// return types: class creation installs them and the introspection records
/// describe them, both from this list.
struct UnarySlot {
    int id;
    reprfunc ClassSpec::* field;
    std::string_view name;
    std::string_view returns;
};
inline constexpr UnarySlot kUnarySlots[] = {
    {Py_tp_repr, &ClassSpec::repr, "__repr__", "str"},
    {Py_tp_str, &ClassSpec::str, "__str__", "str"},
    {Py_nb_int, &ClassSpec::to_int, "__int__", "int"},
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

}  // namespace kelto::boundary
