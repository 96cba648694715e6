// Shared and exclusive access to an instance's payload. Conflicts arise only
// when Python code runs while a borrow is held (a conversion that calls back
// into code touching the same object, or another thread's call while that
// code runs); they fail at once and never wait. A thread that holds a borrow
// keeps its standard output back until it holds none, so it never blocks on
// a write or on the output lock with a borrow that another thread may ask for.
#pragma once

#include "boundary/errors.hpp"
#include "process/stdout.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

namespace kelto::boundary {

/// Counts the borrows of one instance. The word holds the count plus one: 1
/// when free, 1 + n while n shared borrows are active, -1 while the exclusive
/// one is. 0 is left for memory that no constructor initialised (an instance
/// the interpreter zero-filled without calling ours): nothing is ever lent
/// from it, and the instance layer refuses it before asking.
class BorrowFlag {
public:
    [[nodiscard]] bool built() const noexcept { return state_.load(std::memory_order_relaxed) != kUnbuilt; }

#ifdef Py_GIL_DISABLED
    [[nodiscard]] bool try_shared() noexcept {
        std::intptr_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive || current == kUnbuilt) return false;
        } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    [[nodiscard]] bool try_exclusive() noexcept {
        std::intptr_t expected = kFree;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
#else
    // Every borrow is taken and given back by a thread that holds the
    // interpreter lock, and handing the lock over orders what each thread did
    // to the flag: a load and a store do the work of a locked
    // read-modify-write, which costs tens of cycles on each of the many
    // borrows that building a description takes.
    [[nodiscard]] bool try_shared() noexcept {
        const std::intptr_t current = state_.load(std::memory_order_relaxed);
        if (current == kExclusive || current == kUnbuilt) return false;
        state_.store(current + 1, std::memory_order_relaxed);
        return true;
    }
    void release_shared() noexcept { state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }

    [[nodiscard]] bool try_exclusive() noexcept {
        if (state_.load(std::memory_order_relaxed) != kFree) return false;
        state_.store(kExclusive, std::memory_order_relaxed);
        return true;
    }
#endif
    void release_exclusive() noexcept { state_.store(kFree, std::memory_order_release); }

private:
    static constexpr std::intptr_t kUnbuilt = 0;
    static constexpr std::intptr_t kFree = 1;
    static constexpr std::intptr_t kExclusive = -1;
    std::atomic<std::intptr_t> state_{kFree};
};

/// RuntimeError "Already mutably borrowed" / "Already borrowed".
[[gnu::cold]] ErrorSet raise_already_mutably_borrowed() noexcept;
[[gnu::cold]] ErrorSet raise_already_borrowed() noexcept;

/// Holds a shared (`Exclusive` false) or the exclusive borrow for its lifetime.
template <bool Exclusive>
class Borrow {
public:
    [[nodiscard]] static Result<Borrow> take(BorrowFlag& flag) noexcept {
        if constexpr (Exclusive) {
            if (!flag.try_exclusive()) return raise_already_borrowed();
        } else {
            if (!flag.try_shared()) return raise_already_mutably_borrowed();
        }
        return Borrow{flag};
    }
    Borrow(Borrow&& other) noexcept : flag_{std::exchange(other.flag_, nullptr)} {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (flag_ == nullptr) return;
        if constexpr (Exclusive) flag_->release_exclusive();
        else flag_->release_shared();
        process::release_output();  // after the flag: what was kept back goes out now
    }

private:
    explicit Borrow(BorrowFlag& flag) noexcept : flag_{&flag} { process::hold_output(); }
    BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace kelto::boundary
