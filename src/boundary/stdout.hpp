// The process's own standard output (file descriptor 1), shared by the banner
// and the log lines. It bypasses Python's sys.stdout on purpose.
#pragma once

#include <string_view>

namespace kelto::boundary {

/// What a write does around a call that may block: `leave` lets other threads
/// run (the module detaches from the interpreter) and returns what `enter`
/// needs to come back. Without hooks a write simply blocks.
struct BlockingHooks {
    void* (*leave)() noexcept = nullptr;
    void (*enter)(void* token) noexcept = nullptr;
};

/// Installs the hooks; the first call's stay for the life of the process.
void set_blocking_hooks(BlockingHooks hooks) noexcept;

/// Writes `bytes` whole to file descriptor 1 while holding the process-wide
/// standard-output lock, so lines from different threads never interleave.
/// The lock is taken only after `leave`, so a thread blocked on a full pipe
/// never holds anything a thread that drains the pipe is waiting for.
/// Returns 0 on success or the errno of the failed write. A process without
/// a standard output (descriptor 1 closed) counts as success.
[[nodiscard]] int write_stdout(std::string_view bytes) noexcept;

/// Writes `bytes` to file descriptor 2, best effort, also outside the interpreter.
void write_stderr(std::string_view bytes) noexcept;

}  // namespace kelto::boundary
