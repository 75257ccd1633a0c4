#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace varnholt::binding {

// Per-object guard against overlapping access: 0 free, n > 0 shared borrows, -1 one exclusive
// borrow. Calls are serialised by the interpreter lock, so a conflict can only come from
// re-entrance on the same thread (one object passed twice, or a callback from an argument's
// __float__ or __index__); it fails at once, never waits.
class BorrowFlag {
public:
    bool try_share() noexcept {
        std::intptr_t state = state_.load(std::memory_order_relaxed);
        while (state != exclusive) {
            if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    void end_share() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_take() noexcept {
        std::intptr_t free = 0;
        return state_.compare_exchange_strong(free, exclusive, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void end_take() noexcept { state_.store(0, std::memory_order_release); }

private:
    static constexpr std::intptr_t exclusive = -1;
    std::atomic<std::intptr_t> state_{0};
};

// Holds a shared borrow for its lifetime; empty after a move.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag* flag) noexcept : flag_(flag) {}
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_ != nullptr) {
            flag_->end_share();
        }
    }

private:
    BorrowFlag* flag_;
};

// Holds an exclusive borrow for its lifetime; empty after a move.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag* flag) noexcept : flag_(flag) {}
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) {
            flag_->end_take();
        }
    }

private:
    BorrowFlag* flag_;
};

}  // namespace varnholt::binding
