#pragma once

// The book's order registry: order id -> the order as last recorded, and where the id's resting
// orders are.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "../records/order.hpp"
#include "hash_table.hpp"
#include "levels.hpp"

namespace varnholt {

// Entries live in an array whose places are recycled through a free list, so an entry keeps its
// index for as long as it is in use (a resting node keeps its entry's index; the array may move
// when it grows, so addresses do not last), and the hash table holds indices. Besides the
// recorded value, an entry counts the book's resting nodes with its id and, while there is
// exactly one, knows which it is, so a cancel goes straight to it. An entry can therefore
// outlive its recording: a cancelled id whose order still rests at another price keeps an
// unrecorded entry until that order leaves.
//
// An order entered by replay has an entry without an id (unnamed) until someone asks for its id:
// such an entry is in no hash slot (no id finds it), always has exactly one resting node, and
// goes when that node leaves. name() gives it its id, drawn by the book when asked.
class Registry {
public:
    struct Entry {
        OrderId id;
        OrderType side = OrderType::Buy;  // of the recorded value
        OrderStatus status = OrderStatus::Open;
        bool located : 1 = false;      // one node rests under the id, and `node` is it
        bool recorded : 1 = false;     // whether the value is visible as the registry's value
        bool in_use : 1 = false;       // false for a place on the free list
        bool from_caller : 1 = false;  // the value was recorded by update_order, not by the book
        bool named : 1 = false;        // `id` is the entry's id and the table finds it
        // The owner of the id's orders (see Order::owner), set when one of them rests or ends; kept
        // in the padding before the price, so that it costs no memory and the sweep, which reads
        // the entry's id anyway, reads it from the same line.
        std::uint32_t owner = 0;
        std::int64_t price_in_ticks = 0;
        double quantity = 0.0;
        std::uint64_t timestamp = 0;
        std::uint32_t node = no_index;  // the located node; of a free place, the next free place
        std::uint32_t copies = 0;       // resting nodes with this id
    };

    static_assert(sizeof(Entry) == 56 || sizeof(void*) != 8, "the owner is meant to fill padding");

    // Entry pointers and references stay valid only until the next emplace; indices stay valid
    // until the entry is erased.
    // An id's text is parsed once; text that is no id's finds nothing.
    Entry* find(std::string_view id) noexcept;
    const Entry* find(std::string_view id) const noexcept;
    Entry* find(const OrderId& id) noexcept;
    const Entry* find(const OrderId& id) const noexcept;
    // The entry of `id`, made if there is none. All or nothing.
    Entry& emplace(const OrderId& id) {
        reserve_one();
        return emplace_reserved(id);
    }
    void reserve_one() {
        table_.reserve_one();
        if (free_head_ == no_index && entries_.size() == entries_.capacity()) {
            entries_.reserve(entries_.capacity() < 16 ? 16 : 2 * entries_.capacity());
        }
    }
    bool has_room_for_one() const noexcept {
        return table_.has_room_for_one() && (free_head_ != no_index || entries_.size() < entries_.capacity());
    }
    // emplace() after reserve_one(): allocates nothing and cannot fail.
    Entry& emplace_reserved(const OrderId& id) noexcept;
    // An entry without an id, after reserve_one(): allocates nothing and cannot fail.
    Entry& emplace_unnamed_reserved() noexcept;
    // Room in the table for `count` more ids (of unnamed entries being named).
    void reserve_names(std::size_t count) { table_.reserve(table_.size() + count); }
    // Gives an unnamed entry its id, which no other entry has (a freshly drawn one), after
    // reserve_names(): allocates nothing and cannot fail.
    void name(Entry& entry, const OrderId& id) noexcept;
    // How many entries in use have no id yet.
    std::size_t unnamed() const noexcept { return unnamed_; }
    // Room for `count` entries in all.
    void reserve(std::size_t count) {
        table_.reserve(count);
        entries_.reserve(count);
    }
    // Never allocates: the freed place joins the free list.
    void erase(Entry& entry) noexcept;

    // Makes `order` the entry's value.
    static void record(Entry& entry, const Order& order) noexcept {
        entry.side = order.side;
        entry.status = order.status;
        entry.price_in_ticks = order.price_in_ticks;
        entry.quantity = order.quantity;
        entry.timestamp = order.timestamp;
        entry.recorded = true;
        entry.from_caller = false;
    }
    static Order value(const Entry& entry) noexcept {
        return Order{entry.id, entry.side, entry.status, entry.price_in_ticks, entry.quantity, entry.timestamp,
                     entry.owner};
    }

    Entry& at(std::uint32_t index) noexcept { return entries_[index]; }
    const Entry& at(std::uint32_t index) const noexcept { return entries_[index]; }
    std::uint32_t index_of(const Entry& entry) const noexcept {
        return static_cast<std::uint32_t>(&entry - entries_.data());
    }
    // Named entries (those an id finds).
    std::size_t size() const noexcept { return table_.size(); }
    std::size_t longest_probe_run() const noexcept { return table_.longest_probe_run(); }
    // Every place, free ones included (`in_use` tells them apart).
    const std::vector<Entry>& places() const noexcept { return entries_; }

private:
    std::uint32_t find_index(const OrderId& id) const noexcept;
    Entry& take_place() noexcept;  // a free place, in use; room made by reserve_one()

    std::vector<Entry> entries_;
    // At most half full, as the book's other tables: three quarters took 1,460 instructions per
    // add, 872 per cancel from Python against 1,345 and 851 (bench/instructions.py, 20,000
    // orders: shorter probe runs to find, insert and shift back on erase). At 10^6 orders both
    // make 2^21 slots.
    IndexTable<50> table_;
    std::uint32_t free_head_ = no_index;
    std::size_t unnamed_ = 0;
};

}  // namespace varnholt
