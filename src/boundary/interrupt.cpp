#include "boundary/interrupt.hpp"

#include "process/stdout.hpp"

namespace kelto::boundary {
namespace {

// The exception of a signal handler that failed while this thread was
// writing, until its call ends. The first one wins; later ones are dropped.
thread_local PyObject* kept = nullptr;

void* leave_interpreter() noexcept {
    if (PyThreadState_GetUnchecked() == nullptr) return nullptr;  // not attached
    return PyEval_SaveThread();
}

void enter_interpreter(void* token) noexcept {
    if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

/// Attaches, runs the handlers of the signals that came in (only the main
/// thread runs any), detaches again.
bool run_signal_handlers(void*& token) noexcept {
    if (token == nullptr) return true;  // a thread the interpreter does not know
    PyEval_RestoreThread(static_cast<PyThreadState*>(token));
    // A write may happen while an error is pending (a panic report): set it
    // aside, so the handlers run on a clean slate and it survives them.
    PyObject* pending = PyErr_GetRaisedException();
    const bool go_on = PyErr_CheckSignals() == 0;
    if (!go_on) {
        PyObject* raised = PyErr_GetRaisedException();
        if (kept == nullptr && raised != nullptr) {
            kept = raised;
            detail::kept_interrupts.fetch_add(1, std::memory_order_relaxed);
        } else {
            Py_XDECREF(raised);
        }
    }
    PyErr_SetRaisedException(pending);
    token = PyEval_SaveThread();
    return go_on;
}

}  // namespace

void install_blocking_hooks() noexcept {
    process::set_blocking_hooks({&leave_interpreter, &enter_interpreter, &run_signal_handlers});
}

bool detail::has_kept_interrupt() noexcept { return kept != nullptr; }

void detail::raise_kept_interrupt() noexcept {
    PyObject* interrupt = kept;
    kept = nullptr;
    kept_interrupts.fetch_sub(1, std::memory_order_relaxed);
    // The call's own error, if it failed as well, is what the handler interrupted.
    if (PyObject* own = PyErr_GetRaisedException()) PyException_SetContext(interrupt, own);
    PyErr_SetRaisedException(interrupt);
}

}  // namespace kelto::boundary
