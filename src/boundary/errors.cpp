#include "boundary/errors.hpp"

#include "boundary/borrow.hpp"
#include "boundary/instance.hpp"
#include "boundary/panic.hpp"

#include <format>

namespace kelto::boundary {

ErrorSet raise(PyObject* type, std::string_view message) noexcept {
    // Making the text can only fail with MemoryError, which is then the error raised.
    if (PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())))
        PyErr_SetObject(type, Owned::steal(text).get());
    return {};
}

ErrorSet raise_type_mismatch(Borrowed obj, PyTypeObject* expected) noexcept {
    Owned actual_name = Owned::steal(PyType_GetQualName(Py_TYPE(obj.get())));
    if (!actual_name) return {};
    Owned expected_name = Owned::steal(PyType_GetQualName(expected));
    if (!expected_name) return {};
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%U'", actual_name.get(),
                 expected_name.get());
    return {};
}

ErrorSet raise_type_mismatch(Borrowed obj, std::string_view expected_qualname) noexcept {
    Owned actual_name = Owned::steal(PyType_GetQualName(Py_TYPE(obj.get())));
    if (!actual_name) return {};
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%.*s'", actual_name.get(),
                 static_cast<int>(expected_qualname.size()), expected_qualname.data());
    return {};
}

ErrorSet raise_cant_delete() noexcept {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return {};
}

ErrorSet raise_already_mutably_borrowed() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return {};
}

ErrorSet raise_already_borrowed() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return {};
}

void panic_unbuilt(PyObject* self) {
    panic(std::format("a {} object whose payload no constructor built", class_name(Py_TYPE(self))));
}

void report_foreign_drop(std::string_view type_path) noexcept {
    // A deallocator may run while an exception is propagating: keep it.
    Owned pending = Owned::steal(PyErr_GetRaisedException());
    Owned message = Owned::steal(PyUnicode_FromFormat(
        "%.*s is unsendable, but is being dropped on another thread",
        static_cast<int>(type_path.size()), type_path.data()));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    // Not the object being destroyed: the hook must not see a dying object.
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending.release());
}

ErrorSet fetch_error() {
    if (!PyErr_Occurred()) [[unlikely]] {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return {};
    }
    resume_panic_from_python();
    return {};
}

Result<void> discard_error() {
    resume_panic_from_python();
    PyObject* pending = PyErr_Occurred();
    // A step that fails may only swallow ordinary errors: losing a Ctrl-C
    // raised inside a user's __index__ would leave the program running on,
    // and exhausted memory or stack, or a broken interpreter, is no reason to
    // try the next reading (that one fails too, or hides the cause).
    if (pending != nullptr &&
        (!PyErr_GivenExceptionMatches(pending, PyExc_Exception) ||
         PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) ||
         PyErr_GivenExceptionMatches(pending, PyExc_RecursionError) ||
         PyErr_GivenExceptionMatches(pending, PyExc_SystemError)))
        return kFailed;
    PyErr_Clear();
    return {};
}

Result<Owned> exception_text(Borrowed exc) {
    if (PyObject* text = PyObject_Str(exc.get())) return Owned::steal(text);
    // Only an ordinary failure of str() is papered over: a Ctrl-C, a SystemExit
    // or a panic raised inside it ends the call.
    if (auto r = discard_error(); !r) return kFailed;
    auto type_name = checked(PyType_GetName(Py_TYPE(exc.get())));
    if (!type_name) return kFailed;
    return checked(PyUnicode_FromFormat("<unprintable %U object>", type_name->get()));
}

std::string escaped_utf8(Borrowed text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();  // a lone surrogate: write it as the interpreter writes it
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "?";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

ErrorSet prefix_argument_error(std::string_view name) {
    Owned original = Owned::steal(PyErr_GetRaisedException());
    if (!original) return {};
    // Only TypeError itself is reworded; subclasses and other errors keep their identity.
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return {};
    }
    auto text = exception_text(original);
    if (!text) return {};
    auto message = checked(PyUnicode_FromFormat("argument '%.*s': %U", static_cast<int>(name.size()),
                                                name.data(), text->get()));
    if (!message) return {};
    auto replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message->get()));
    if (!replacement) return {};
    // PyException_SetCause steals its argument; GetCause returns a new reference.
    PyException_SetCause(replacement->get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement->release());
    return {};
}

}  // namespace kelto::boundary
