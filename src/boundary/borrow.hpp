// Shared and exclusive access to an instance's payload. Conflicts arise only
// when Python code runs while a borrow is held (a conversion that calls back
// into code touching the same object); they fail at once and never wait.
#pragma once

#include "boundary/errors.hpp"

#include <atomic>
#include <cstdint>

namespace kelto::boundary {

/// 0 when free, n > 0 while n shared borrows are active, -1 while exclusive.
class BorrowFlag {
public:
    [[nodiscard]] bool try_shared() noexcept {
        std::intptr_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) return false;
        } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    [[nodiscard]] bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    static constexpr std::intptr_t kExclusive = -1;
    std::atomic<std::intptr_t> state_{0};
};

/// RuntimeError "Already mutably borrowed" / "Already borrowed".
[[gnu::cold]] ErrorSet raise_already_mutably_borrowed() noexcept;
[[gnu::cold]] ErrorSet raise_already_borrowed() noexcept;

/// Holds a shared borrow for its lifetime.
class SharedBorrow {
public:
    [[nodiscard]] static Result<SharedBorrow> take(BorrowFlag& flag) noexcept {
        if (!flag.try_shared()) return std::unexpected(raise_already_mutably_borrowed());
        return SharedBorrow{flag};
    }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_{std::exchange(other.flag_, nullptr)} {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_ != nullptr) flag_->release_shared();
    }

private:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_{&flag} {}
    BorrowFlag* flag_;
};

/// Holds the exclusive borrow for its lifetime.
class ExclusiveBorrow {
public:
    [[nodiscard]] static Result<ExclusiveBorrow> take(BorrowFlag& flag) noexcept {
        if (!flag.try_exclusive()) return std::unexpected(raise_already_borrowed());
        return ExclusiveBorrow{flag};
    }
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_{std::exchange(other.flag_, nullptr)} {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) flag_->release_exclusive();
    }

private:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_{&flag} {}
    BorrowFlag* flag_;
};

}  // namespace kelto::boundary
