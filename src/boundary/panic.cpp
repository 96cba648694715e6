#include "boundary/panic.hpp"

#include "process/stdout.hpp"

#include <cstdlib>
#include <format>

#include <execinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelto::boundary {
namespace {

PyObject* panic_type = nullptr;

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python fails in a way "
    "it cannot recover from (a broken invariant, an interpreter call that must "
    "not fail).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so "
    "that a bare `except Exception` does not swallow it: it typically "
    "propagates all the way up and ends the interpreter.";

/// The main thread is "main"; others carry the name the OS knows them by.
std::string thread_name() {
    if (::getpid() == static_cast<pid_t>(::syscall(SYS_gettid))) return "main";
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        return "<unnamed>";
    return name;
}

/// "Cmp.__new__", "NumOf.of" or "init_tracing".
std::string entry_text(const EntryName& entry) {
    std::string_view owner = entry.owner;
    if (owner.empty() && entry.receiver != nullptr) owner = class_name(Py_TYPE(entry.receiver));
    if (owner.empty()) return std::string(entry.member);
    return std::format("{}.{}", owner, entry.member);
}

void write_report(const Panic& fault, const EntryName& entry) {
    std::string place = entry_text(entry);
    if (fault.where)
        place += std::format(" ({}:{}:{})", fault.where->file_name(), fault.where->line(), fault.where->column());
    process::write_stderr(std::format("thread '{}' panicked at {}:\n{}\n", thread_name(), place, fault.message));
    const char* wanted = std::getenv("KELTO_BACKTRACE");
    if (wanted != nullptr && wanted[0] != '\0' && std::string_view(wanted) != "0") {
        void* frames[64];
        const int depth = ::backtrace(frames, 64);
        process::write_stderr("native backtrace:\n");
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    } else {
        process::write_stderr("note: set KELTO_BACKTRACE=1 to print a native backtrace\n");
    }
}

}  // namespace

std::string_view class_name(PyTypeObject* type) noexcept {
    std::string_view name = type->tp_name;
    name.remove_prefix(name.rfind('.') + 1);  // npos + 1 == 0: no dot, nothing removed
    return name;
}

void panic(std::string message, std::source_location where) {
    throw Panic{std::move(message), where};
}

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr)
        panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    return panic_type;
}

void raise_panic(const Panic& fault, const EntryName& entry) noexcept {
    try {
        write_report(fault, entry);
    } catch (...) {
        process::write_stderr("a native panic occurred; its report could not be written\n");
    }
    // The panic supersedes whatever error a failed interpreter call left behind;
    // the interpreter must not be called into with an exception pending.
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        // The interpreter would not even create the class: keep its error, which
        // says why, and note the fault it was meant to carry.
        process::write_stderr("could not create pyo3_runtime.PanicException\n");
        return;
    }
    const std::string_view message =
        fault.message.empty() ? std::string_view{"native code panicked"} : fault.message;
    raise(type, message);
}

void resume_panic_from_python() {
    // Before the class exists no panic can have been raised, and creating it
    // now would call into the interpreter with an exception pending.
    if (panic_type == nullptr) return;
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr || !PyErr_GivenExceptionMatches(pending, panic_type)) return;

    Owned exc = Owned::steal(PyErr_GetRaisedException());
    process::write_stderr("kelto: a panic raised by native code came back through Python code.\n"
                 "kelto: it is not an ordinary exception; unwinding continues. Python traceback:\n");
    PyErr_DisplayException(exc.get());
    std::string message = "Unwrapped panic from Python code";
    if (Owned text = Owned::steal(PyObject_Str(exc.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
            message.assign(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    // The fault happened in the Python code named by the traceback above, not here.
    throw Panic{std::move(message)};
}

}  // namespace kelto::boundary
