// What happens when memory runs out: kelto's own operator new never throws;
// it reports the failed size and aborts, as the module promises.
#pragma once

#include <cstddef>

namespace kelto::process {

/// Writes "memory allocation of <size> bytes failed" to standard error and
/// aborts. Our operator new calls it with the size; a std::bad_alloc thrown
/// inside the C++ runtime library reaches it with size 0, meaning unknown.
[[noreturn, gnu::cold]] void out_of_memory(std::size_t size) noexcept;

}  // namespace kelto::process
