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
    // The side's total in the listings' order up to and including this level's last order, as the
    // side's walk last left it; right only below the side's fold mark (see OrderBook::volume()).
    mutable double fold_after = 0.0;
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

// The pool of resting nodes. It hands out nodes so that a level's queue lies mostly in
// consecutive nodes: a node joining a level takes the node after the level's tail when that one
// is free, and a level that cannot continue there starts a block of `block` fresh nodes whose
// remainder is kept aside (spare) for that continuation. Walks along a queue (sweeps, volumes,
// listings) and a cancel's unlinking of its neighbours then touch neighbouring cache lines
// instead of one line per order. A free node has `level == no_index`; its `entry` says which
// free list holds it (released or spare) and `previous`/`next` link that list both ways, so that
// the node after a tail leaves its list in O(1). take() after reserve_one() allocates nothing.
class NodePool {
public:
    static constexpr std::uint32_t block = 8;

    // The vector grows as the other pools do (16, then doubling): a block is made only where it
    // fits, so blocks never make the pool grow sooner.
    void reserve_one() {
        if (!has_room_for_one()) {
            items_.reserve(items_.capacity() < 16 ? 16 : 2 * items_.capacity());
        }
    }
    bool has_room_for_one() const noexcept {
        return heads_[released] != no_index || heads_[spare] != no_index || items_.size() < items_.capacity();
    }
    void reserve(std::size_t count) { items_.reserve(count); }

    // A node for a level whose tail is `after` (no_index for an empty level).
    std::uint32_t take(std::uint32_t after = no_index) noexcept {
        ++in_use_;
        if (after != no_index && after + 1 < items_.size() && items_[after + 1].level == no_index) {
            return claim(after + 1);
        }
        if (heads_[released] != no_index) {
            return claim(heads_[released]);
        }
        // Spare nodes wait for their levels' next orders; they serve others only once they
        // outnumber half the live nodes (which bounds what they cost), or when there is no room
        // for a block.
        const bool room = items_.size() + block <= items_.capacity();
        if (heads_[spare] != no_index && (!room || spare_count_ * 2 > in_use_)) {
            return claim(heads_[spare]);
        }
        const auto first = static_cast<std::uint32_t>(items_.size());
        items_.emplace_back();  // within the capacity reserve_one() made (a lone node without room for a block)
        for (std::uint32_t i = 1; i < block && room; ++i) {
            items_.emplace_back();
            push(first + i, spare);
        }
        return first;
    }
    void release(std::uint32_t index) noexcept {
        --in_use_;
        push(index, released);
    }

    RestingNode& operator[](std::uint32_t index) noexcept { return items_[index]; }
    const RestingNode& operator[](std::uint32_t index) const noexcept { return items_[index]; }
    std::size_t in_use() const noexcept { return in_use_; }
    // How many nodes the free lists hold, walked (for the invariant checker).
    std::size_t count_free() const noexcept {
        std::size_t free = 0;
        for (const std::uint32_t head : heads_) {
            for (std::uint32_t index = head; index != no_index && free <= items_.size(); index = items_[index].next) {
                ++free;
            }
        }
        return free;
    }
    std::size_t size() const noexcept { return items_.size(); }

private:
    static constexpr std::uint32_t released = 0;
    static constexpr std::uint32_t spare = 1;

    void push(std::uint32_t index, std::uint32_t list) noexcept {
        RestingNode& node = items_[index];
        node.level = no_index;
        node.entry = list;
        node.previous = no_index;
        node.next = heads_[list];
        if (heads_[list] != no_index) {
            items_[heads_[list]].previous = index;
        }
        heads_[list] = index;
        spare_count_ += list;
    }
    std::uint32_t claim(std::uint32_t index) noexcept {
        RestingNode& node = items_[index];
        const std::uint32_t list = node.entry;
        (node.previous != no_index ? items_[node.previous].next : heads_[list]) = node.next;
        if (node.next != no_index) {
            items_[node.next].previous = node.previous;
        }
        spare_count_ -= list;
        node = RestingNode{};
        return index;
    }

    std::vector<RestingNode> items_;
    std::uint32_t heads_[2] = {no_index, no_index};
    std::size_t spare_count_ = 0;
    std::size_t in_use_ = 0;
};
using LevelPool = Pool<Level, &Level::head>;

}  // namespace varnholt
