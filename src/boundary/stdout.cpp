#include "boundary/stdout.hpp"

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

}  // namespace

int write_stdout(std::string_view bytes) noexcept {
    const std::lock_guard guard{stdout_lock()};
    const int error = write_all(STDOUT_FILENO, bytes);
    return error == EBADF ? 0 : error;
}

void write_stderr(std::string_view bytes) noexcept { (void)write_all(STDERR_FILENO, bytes); }

}  // namespace kelto::boundary
