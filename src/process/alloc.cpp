// The end of the process when memory runs out.
#include "process/alloc.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include <unistd.h>

namespace kelto::process {

void out_of_memory(std::size_t size) noexcept {
    // No allocation from here on: format into a stack buffer, write, abort.
    char line[96];
    const int n = size != 0
        ? std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", size)
        : std::snprintf(line, sizeof line, "memory allocation failed\n");
    if (n > 0) {
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line, static_cast<std::size_t>(n));
    }
    std::abort();
}

}  // namespace kelto::process
