#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace varnholt::binding {

// Per-object guard against overlapping access: 0 free, n > 0 shared borrows, -1 one exclusive
// borrow. A conflict comes from re-entrance on the same thread (one object passed twice, or a
// callback from an argument's __float__ or __index__), or from another thread while a call runs
// with the interpreter lock released (without_interpreter_lock: replay); it fails at once, never
// waits. Every borrow starts and ends with the interpreter lock held (a call that releases the
// lock borrows before and ends its borrows after it holds the lock again), so the lock orders
// every change of the flag between threads, and a change is a plain read and write, not a locked
// read-modify-write: three of those (taking the book, sharing an order and ending that) cost an
// add about 20 ns. The flag stays atomic so that the reads are well defined whatever the compiler
// assumes about threads.
class BorrowFlag {
public:
    bool try_share() noexcept {
        const std::intptr_t state = state_.load(std::memory_order_relaxed);
        if (state == exclusive) {
            return false;
        }
        state_.store(state + 1, std::memory_order_relaxed);
        return true;
    }
    void end_share() noexcept { state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }

    bool try_take() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) {
            return false;
        }
        state_.store(exclusive, std::memory_order_relaxed);
        return true;
    }
    void end_take() noexcept { state_.store(0, std::memory_order_relaxed); }

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
