// Allocation policy of the module. Our operator new is hidden inside the
// shared object (the export map keeps it local), so it serves kelto's own
// allocations and leaves the rest of the process alone.
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

namespace {

void* allocate(std::size_t size) noexcept {
    if (size == 0) size = 1;
    void* p = std::malloc(size);
    if (p == nullptr) [[unlikely]] out_of_memory(size);
    return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t align) noexcept {
    const auto alignment = static_cast<std::size_t>(align);
    if (size == 0) size = 1;
    size = (size + alignment - 1) / alignment * alignment;  // aligned_alloc wants a multiple
    void* p = std::aligned_alloc(alignment, size);
    if (p == nullptr) [[unlikely]] out_of_memory(size);
    return p;
}

}  // namespace
}  // namespace kelto::process

using kelto::process::allocate;
using kelto::process::allocate_aligned;

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) { return allocate_aligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocate_aligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
