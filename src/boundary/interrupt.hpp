// Signals that arrive while kelto waits outside the interpreter, on a write
// that blocks or on the output lock: their handlers run there, and the
// exception of one that fails ends the call that was writing, the way it
// ends os.write().
#pragma once

#include <Python.h>

#include <atomic>
#include <type_traits>

namespace kelto::boundary {

/// Gives the process layer its blocking hooks: a write leaves the
/// interpreter while it may block, and when it is interrupted the signal
/// handlers run; the exception of one that fails is kept for the thread's
/// call, and the write gives up.
void install_blocking_hooks() noexcept;

namespace detail {
/// How many threads have a kept exception: one relaxed load per call when none does.
inline std::atomic<unsigned> kept_interrupts{0};
/// Whether this thread has a kept exception.
[[nodiscard]] bool has_kept_interrupt() noexcept;
/// Raises this thread's kept exception, with any pending error as its context.
[[gnu::cold]] void raise_kept_interrupt() noexcept;
}  // namespace detail

/// At the end of a call from Python: a kept signal-handler exception ends the
/// call, whatever it returned. `failure` is the slot's failure value.
template <class R>
R end_with_kept_interrupt(R result, R failure) noexcept {
    if (detail::kept_interrupts.load(std::memory_order_relaxed) == 0) [[likely]] return result;
    if (!detail::has_kept_interrupt()) return result;  // another thread's
    if constexpr (std::is_pointer_v<R>) {
        if (result != failure) Py_DECREF(result);
    }
    detail::raise_kept_interrupt();
    return failure;
}

}  // namespace kelto::boundary
