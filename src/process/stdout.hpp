// The process's own standard output (file descriptor 1), shared by the banner
// and the log lines. It bypasses Python's sys.stdout on purpose.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelto::process {

/// What a write does around a call that may block: `leave` lets other threads
/// run (the module detaches from the interpreter) and returns what `enter`
/// needs to come back. `may_go_on` is asked, outside the interpreter, when a
/// blocked write was interrupted by a signal and every few milliseconds while
/// a writer waits for the output lock: it lets the signal handlers run and
/// answers false when one of them failed, which ends the write (the failure
/// is then the caller's to report). It may replace the token. Without hooks a
/// write simply blocks.
struct BlockingHooks {
    void* (*leave)() noexcept = nullptr;
    void (*enter)(void* token) noexcept = nullptr;
    bool (*may_go_on)(void*& token) noexcept = nullptr;
};

/// Installs the hooks; the first call's stay for the life of the process. The
/// first call also makes the output lock fork-safe: a child forked while
/// another thread held it starts with it free.
void set_blocking_hooks(BlockingHooks hooks) noexcept;

/// Writes `bytes` whole to file descriptor 1 while holding the process-wide
/// standard-output lock, so lines from different threads never interleave.
/// The lock is taken only after `leave`, so a thread blocked on a full pipe
/// never holds anything a thread that drains the pipe is waiting for.
/// Returns 0 on success or the errno of the failed write; EINTR when
/// `may_go_on` refused to go on (the bytes may then be written in part). A
/// process without a standard output (descriptor 1 closed) counts as success.
/// While the calling thread holds output back (`hold_output`), the bytes are
/// kept for later and the write succeeds at once (see kHeldOutputBudget).
[[nodiscard]] int write_stdout(std::string_view bytes) noexcept;

/// Writes `bytes` to file descriptor 2, best effort, also outside the
/// interpreter; an interrupt that `may_go_on` refuses drops the rest.
void write_stderr(std::string_view bytes) noexcept;

/// Reports a line that could not be written (the errno `error`) on standard
/// error: "kelto: could not write a log line to standard output: ...".
void report_lost_line(int error) noexcept;

/// How many bytes of output one thread keeps back at most. A line that would
/// pass it first sends the whole lines kept so far, as far as descriptor 1
/// takes them without waiting (a regular file always does, a pipe while it
/// has room); a line that still does not fit is dropped and counted, and the
/// count is reported on standard error when the thread writes what it kept.
/// So a process that ends abruptly inside a hold loses at most this much.
inline constexpr std::size_t kHeldOutputBudget = std::size_t{64} << 10;

namespace detail {
inline thread_local unsigned held_depth = 0;
inline thread_local bool held_bytes = false;  ///< lines kept back, or a count of dropped ones
void write_held() noexcept;
}  // namespace detail

/// Between hold_output() and its release_output(), the calling thread's
/// standard-output writes are kept back; they go out, in order and in one
/// write, when the outermost hold is released. A thread holds output back
/// while it holds something another thread may ask for at once (a borrow of
/// an object), so it never keeps that over a blocked write or a wait for the
/// output lock. Holds nest. A forked child starts holding nothing: the holds
/// its thread took in the parent are released there as no-ops.
inline void hold_output() noexcept { ++detail::held_depth; }
inline void release_output() noexcept {
    if (detail::held_depth == 0) [[unlikely]] return;  // taken before the fork that made this process
    if (--detail::held_depth == 0 && detail::held_bytes) [[unlikely]] detail::write_held();
}

}  // namespace kelto::process
