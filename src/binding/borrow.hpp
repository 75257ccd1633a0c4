#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace varnholt::binding {

// Per-object guard against overlapping access: 0 free, n > 0 shared borrows, -1 one exclusive
// borrow. A conflict comes from re-entrance on the same thread (one object passed twice, or a
// callback from an argument's __float__ or __index__), or from another thread while a call runs
// with the interpreter lock released (without_interpreter_lock: replay); it fails at once, never
// waits. The atomics serve that second case.
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

// Holds one borrow for its lifetime and ends it with `End`; empty after a move.
template <void (BorrowFlag::*End)() noexcept>
class Borrow {
public:
    explicit Borrow(BorrowFlag* flag) noexcept : flag_(flag) {}
    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (flag_ != nullptr) {
            (flag_->*End)();
        }
    }

private:
    BorrowFlag* flag_;
};

using SharedBorrow = Borrow<&BorrowFlag::end_share>;
using ExclusiveBorrow = Borrow<&BorrowFlag::end_take>;

}  // namespace varnholt::binding
