// Allocation policy of the module: operator new never throws; a failed
// allocation ends the process through out_of_memory. Linked into the module
// alone, where the export map keeps these operators local, so they serve
// kelto's own allocations and leave the rest of the process (and the test
// programs, which have allocators of their own) alone.
#include "process/alloc.hpp"

#include <cstdlib>
#include <new>

namespace kelto::process {
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
