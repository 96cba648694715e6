#include "process/stdout.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <pthread.h>
#include <unistd.h>

namespace kelto::process {
namespace {

// Re-entrant, so a thread that holds it may write again (a panic report while
// a line is being written); statically initialised and never destroyed, so
// late writers at exit are safe; put back to its initial state in a forked
// child, where the thread that held it does not exist.
pthread_mutex_t stdout_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// How long a writer waits for the output lock before it lets signal handlers run.
constexpr long kLockPollNanoseconds = 10'000'000;

std::atomic<BlockingHooks*> installed_hooks{nullptr};

/// Outside the interpreter for its lifetime, when hooks are installed.
class Blocking {
public:
    Blocking() noexcept : hooks_{installed_hooks.load(std::memory_order_acquire)} {
        if (hooks_ != nullptr) token_ = hooks_->leave();
    }
    ~Blocking() {
        if (hooks_ != nullptr) hooks_->enter(token_);
    }
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

    /// After an interruption: false when a signal handler failed.
    [[nodiscard]] bool may_go_on() noexcept {
        return hooks_ == nullptr || hooks_->may_go_on == nullptr || hooks_->may_go_on(token_);
    }

private:
    BlockingHooks* hooks_;
    void* token_ = nullptr;
};

/// A short write to a blocking descriptor means a signal came in after part
/// of the bytes went out: the handlers get their turn before the rest.
int write_all(int fd, std::string_view bytes, Blocking& outside) noexcept {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno != EINTR) return errno;
            if (!outside.may_go_on()) return EINTR;
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        if (!bytes.empty() && !outside.may_go_on()) return EINTR;
    }
    return 0;
}

/// Takes the output lock. A futex wait does not end on a signal, so a writer
/// waits in slices and lets the handlers run between them: a Ctrl-C reaches a
/// thread queued behind a writer that is blocked on a full pipe.
bool lock_stdout(Blocking& outside) noexcept {
    if (pthread_mutex_trylock(&stdout_lock) == 0) return true;
    for (;;) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += kLockPollNanoseconds;
        if (deadline.tv_nsec >= 1'000'000'000) {
            deadline.tv_nsec -= 1'000'000'000;
            ++deadline.tv_sec;
        }
        const int rc = pthread_mutex_timedlock(&stdout_lock, &deadline);
        if (rc == 0) return true;
        if (rc != ETIMEDOUT && rc != EINTR) return true;  // cannot happen with a recursive mutex
        if (!outside.may_go_on()) return false;
    }
}

// What this thread keeps back while it holds output (see hold_output).
thread_local std::string held;

void after_fork_in_child() noexcept {
    // Only the forking thread lives on: whoever held the lock is gone. Lines
    // this thread kept back belong to the parent's calls; the parent writes them.
    stdout_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    held.clear();
    detail::held_bytes = false;
}

}  // namespace

void set_blocking_hooks(BlockingHooks hooks) noexcept {
    static BlockingHooks kept = [&] {  // the first call's, for the life of the process
        pthread_atfork(nullptr, nullptr, &after_fork_in_child);
        return hooks;
    }();
    installed_hooks.store(&kept, std::memory_order_release);
}

int write_stdout(std::string_view bytes) noexcept {
    if (detail::held_depth > 0) {
        try {
            held.append(bytes);
        } catch (...) {
            return ENOMEM;
        }
        detail::held_bytes = true;
        return 0;
    }
    Blocking outside;
    if (!lock_stdout(outside)) return EINTR;
    const int error = write_all(STDOUT_FILENO, bytes, outside);
    pthread_mutex_unlock(&stdout_lock);
    return error == EBADF ? 0 : error;
}

void write_stderr(std::string_view bytes) noexcept {
    Blocking outside;
    (void)write_all(STDERR_FILENO, bytes, outside);
}

void detail::write_held() noexcept {
    std::string lines;
    lines.swap(held);
    held_bytes = false;
    const int error = write_stdout(lines);
    if (error == 0 || error == EINTR) {
        lines.clear();
        if (held.empty()) held.swap(lines);  // keep the grown buffer for next time
        return;
    }
    report_lost_line(error);
}

void report_lost_line(int error) noexcept {
    char diagnostic[160];
    const int n = std::snprintf(diagnostic, sizeof diagnostic,
                                "kelto: could not write a log line to standard output: %s\n", std::strerror(error));
    if (n > 0) write_stderr({diagnostic, static_cast<std::size_t>(n)});
}

}  // namespace kelto::process
