// A name for the calling thread that no other thread of the process ever
// gets. Operating-system thread ids (and std::thread::id, built on them) are
// handed out again once a thread has ended, so an object that remembers the
// thread that made it would take a later thread for its owner.
#pragma once

#include <atomic>
#include <cstdint>

namespace kelto::process {

namespace detail {
inline std::atomic<std::uint64_t> threads_named{0};
inline thread_local std::uint64_t this_thread_identity = 0;
}  // namespace detail

/// The calling thread's identity: numbered on first use, never 0, never
/// reused. A forked child's thread keeps the one it had in the parent, and
/// the child's later threads count on from the parent's count at the fork,
/// so no identity the child inherits is given out again there.
[[nodiscard]] inline std::uint64_t thread_identity() noexcept {
    std::uint64_t& identity = detail::this_thread_identity;
    if (identity == 0) [[unlikely]]
        identity = detail::threads_named.fetch_add(1, std::memory_order_relaxed) + 1;
    return identity;
}

}  // namespace kelto::process
