#pragma once

// Price levels as FIFO queues of nodes: a resting order is one node in the book's node pool,
// linked into its level's queue, and a level lives in the book's level pool. Both pools address
// their members by 32-bit indices and reuse freed ones, so nothing the book holds points into its
// own memory: a copy of the book is a copy of its containers.
#include <cstdint>
#include <vector>

#include "../records/enums.hpp"

namespace varnholt {

inline constexpr std::uint32_t no_index = 0xFFFF'FFFF;

// One resting order. Its id, side and price are its registry entry's and its level's; the node
// keeps what changes while it rests and what matching reads without the entry.
struct RestingNode {
    double quantity = 0.0;  // open, always positive while it rests
    std::uint64_t timestamp = 0;
    std::uint64_t ref = 0;        // the caller's reference, or no_ref
    std::uint32_t entry = 0;      // its id's registry entry
    std::uint32_t level = 0;      // its level in the level pool
    std::uint32_t previous = no_index;
    std::uint32_t next = no_index;  // in its level; of a free node, the next free one
};
static_assert(sizeof(RestingNode) == 40);

// One price level: its queue (head is the oldest order, tail the newest), how many orders it
// holds, and their total.
struct Level {
    std::int64_t price_in_ticks = 0;
    // The sum of the open quantities in queue order from 0.0, worked out by a walk when asked for
    // and kept while orders only join at the back, since adding each newcomer to it is exactly the
    // walk's next step; anything else that changes an order forgets it. (A running total that
    // also subtracted would drift from the walk: 0.1 + 0.2 - 0.1 is not 0.2.)
    mutable double known_quantity = 0.0;
    std::uint32_t head = no_index;  // of a free level, the next free one
    std::uint32_t tail = no_index;
    std::uint32_t count = 0;
    OrderType side = OrderType::Buy;
    mutable bool quantity_known = true;
};

// A pool of T addressed by index, its free members linked through T's `Link` field. take() after
// reserve_one() allocates nothing and cannot fail.
template <class T, std::uint32_t T::*Link>
class Pool {
public:
    void reserve_one() {
        if (free_head_ == no_index && items_.size() == items_.capacity()) {
            items_.reserve(items_.capacity() < 16 ? 16 : 2 * items_.capacity());
        }
    }
    bool has_room_for_one() const noexcept { return free_head_ != no_index || items_.size() < items_.capacity(); }
    void reserve(std::size_t count) { items_.reserve(count); }

    std::uint32_t take() noexcept {
        ++in_use_;
        if (free_head_ != no_index) {
            const std::uint32_t index = free_head_;
            free_head_ = items_[index].*Link;
            items_[index] = T{};
            return index;
        }
        items_.emplace_back();  // within the capacity reserve_one() made
        return static_cast<std::uint32_t>(items_.size() - 1);
    }
    void release(std::uint32_t index) noexcept {
        items_[index].*Link = free_head_;
        free_head_ = index;
        --in_use_;
    }

    T& operator[](std::uint32_t index) noexcept { return items_[index]; }
    const T& operator[](std::uint32_t index) const noexcept { return items_[index]; }
    std::size_t in_use() const noexcept { return in_use_; }
    // How many members the free list holds, walked (for the invariant checker).
    std::size_t count_free() const noexcept {
        std::size_t free = 0;
        for (std::uint32_t index = free_head_; index != no_index && free <= items_.size(); index = items_[index].*Link) {
            ++free;
        }
        return free;
    }
    std::size_t size() const noexcept { return items_.size(); }

private:
    std::vector<T> items_;
    std::uint32_t free_head_ = no_index;
    std::size_t in_use_ = 0;
};

using NodePool = Pool<RestingNode, &RestingNode::next>;
using LevelPool = Pool<Level, &Level::head>;

}  // namespace varnholt
