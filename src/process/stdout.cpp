#include "process/stdout.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
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

// What this thread keeps back while it holds output (see hold_output), and
// how many lines it dropped because they would not fit.
thread_local std::string held;
thread_local std::size_t dropped_lines = 0;

/// True when a write to the file of `status` never waits for a reader: a regular file or a
/// block device. Pipes, sockets and terminals may be full.
bool writes_never_wait(const struct stat& status) noexcept {
    return S_ISREG(status.st_mode) || S_ISBLK(status.st_mode);
}

/// The end of the last whole line in `bytes` (0 when there is none).
std::size_t whole_lines(std::string_view bytes) noexcept {
    const std::size_t newline = bytes.rfind('\n');
    return newline == std::string_view::npos ? 0 : newline + 1;
}

/// Writes the leading whole lines of `held` that descriptor 1 takes without
/// waiting, and removes them. It never waits: not for the output lock (its
/// holder may be blocked on the pipe), nor for room in a pipe, where it
/// writes only after poll() reports room, at most PIPE_BUF bytes at a time,
/// which a pipe with room takes whole at once.
void write_without_waiting() noexcept {
    if (pthread_mutex_trylock(&stdout_lock) != 0) return;
    struct stat status{};
    std::size_t done = 0;
    if (::fstat(STDOUT_FILENO, &status) != 0) {
        if (errno == EBADF) done = held.size();  // no standard output: written, as everywhere else
    } else {
        const bool never_wait = writes_never_wait(status);
        while (done < held.size()) {
            std::string_view rest{held.data() + done, held.size() - done};
            if (!never_wait) rest = rest.substr(0, PIPE_BUF);
            rest = rest.substr(0, whole_lines(rest));
            if (rest.empty()) break;  // a line longer than a write that cannot wait
            if (!never_wait) {
                pollfd ready{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
                if (::poll(&ready, 1, 0) != 1) break;  // full (or the reader's end is gone: the write says)
            }
            const ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) break;
                if (errno != EBADF) report_lost_line(errno);
                done += rest.size();  // these lines cannot be written; later ones may
                continue;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    pthread_mutex_unlock(&stdout_lock);
    held.erase(0, done);
}

/// Keeps `bytes` back, within kHeldOutputBudget.
int hold(std::string_view bytes) noexcept {
    try {
        held.append(bytes);
    } catch (...) {
        return ENOMEM;
    }
    detail::held_bytes = true;
    if (held.size() <= kHeldOutputBudget) [[likely]] return 0;
    write_without_waiting();
    if (held.size() > kHeldOutputBudget) {
        // The new line comes last and lines go out in order, so it is all
        // still there (unless a write to a file stopped inside it).
        held.resize(held.size() - std::min(held.size(), bytes.size()));
        ++dropped_lines;
    }
    if (held.capacity() > 2 * kHeldOutputBudget) held.shrink_to_fit();  // after a line longer than the budget
    return 0;
}

/// "kelto: 12 lines of standard output were dropped ...", on standard error.
void report_dropped_lines() noexcept {
    char diagnostic[200];
    const int n = std::snprintf(diagnostic, sizeof diagnostic,
                                "kelto: %zu lines of standard output were dropped: more than %zu bytes were kept "
                                "back during one call, and standard output could not take them at once\n",
                                dropped_lines, kHeldOutputBudget);
    dropped_lines = 0;
    if (n > 0) write_stderr({diagnostic, std::min(static_cast<std::size_t>(n), sizeof diagnostic - 1)});
}

void after_fork_in_child() noexcept {
    // Only the forking thread lives on: whoever held the lock is gone. Lines
    // this thread kept back belong to the parent's calls; the parent writes
    // them. The borrows it holds were taken in the parent: the child's own
    // output goes out as it happens.
    stdout_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    held.clear();
    dropped_lines = 0;
    detail::held_bytes = false;
    detail::held_depth = 0;
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
    if (detail::held_depth > 0) return hold(bytes);
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
    const int error = lines.empty() ? 0 : write_stdout(lines);
    if (dropped_lines > 0) report_dropped_lines();
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
