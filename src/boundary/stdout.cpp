#include "boundary/stdout.hpp"

#include <atomic>
#include <cerrno>
#include <mutex>

#include <unistd.h>

namespace kelto::boundary {
namespace {

// Re-entrant, so a thread that holds it may write again (a panic report while a
// line is being written); never destroyed, so late writers at exit are safe.
std::recursive_mutex& stdout_lock() noexcept {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

int write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

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

private:
    BlockingHooks* hooks_;
    void* token_ = nullptr;
};

}  // namespace

void set_blocking_hooks(BlockingHooks hooks) noexcept {
    static BlockingHooks kept = hooks;  // the first call's, for the life of the process
    installed_hooks.store(&kept, std::memory_order_release);
}

int write_stdout(std::string_view bytes) noexcept {
    const Blocking outside;
    const std::lock_guard guard{stdout_lock()};
    const int error = write_all(STDOUT_FILENO, bytes);
    return error == EBADF ? 0 : error;
}

void write_stderr(std::string_view bytes) noexcept {
    const Blocking outside;
    (void)write_all(STDERR_FILENO, bytes);
}

}  // namespace kelto::boundary
