#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "../records/order.hpp"

namespace varnholt {

struct Level;

// The book's order registry: id text -> the order as last recorded.
//
// An open-addressing table (linear probing, backward-shift deletion) over an array of entries
// whose places are recycled through a free list, so a lookup costs one probe sequence of 8-byte
// slots and no allocation, and an entry keeps its index for as long as it is in use: a resting copy
// can keep its entry's index (the array itself may move when it grows, so addresses do not last).
// Besides the recorded value, an entry counts the book's resting copies with that id and, while
// there is exactly one, knows where it rests, so a cancel goes straight to it. An entry can
// therefore outlive its recording: a cancelled id whose copy still rests at another price keeps an
// unrecorded entry until that copy leaves.
//
// An entry is split in two. The id and the whole recorded value fill one aligned 64-byte line,
// which a lookup, get_order and the recording of a fill touch; where the lone resting copy is
// (and how many copies there are) lies in a parallel array of locations, used by resting and
// cancelling.
class Registry {
public:
    struct alignas(64) Entry {
        OrderId id;
        OrderType side = OrderType::Buy;       // of the recorded value
        OrderStatus status = OrderStatus::Open;
        bool located : 1 = false;   // the location holds one copy, and says where it rests
        bool recorded : 1 = false;  // whether the value is visible as the registry's value
        bool in_use : 1 = false;    // false for a place on the free list
        bool from_caller : 1 = false;  // the value was recorded by update_order, not by the book
        std::int64_t price_in_ticks = 0;
        double quantity = 0.0;
        std::uint64_t timestamp = 0;
    };
    // Where the book's resting copies under an entry's id are.
    struct Location {
        Level* level = nullptr;      // of the located copy
        std::uint32_t sequence = 0;  // the located copy's slot number in its level, modulo 2^32
        std::uint32_t copies = 0;    // resting copies with this id
        std::uint32_t hash = 0;      // of the id, so that erasing an entry found without a look-up
                                     // (by a reference) does not hash the id again
    };
    static_assert(sizeof(Entry) == 64);

    Registry();

    // Entry pointers and references stay valid only until the next emplace; indices stay valid
    // until the entry is erased.
    // The non-const find remembers where it found the entry, which saves erase() a second probe.
    Entry* find(std::string_view id) noexcept;
    const Entry* find(std::string_view id) const noexcept;
    // The entry of `id`, made if there is none. All or nothing: when it runs out of memory, the
    // registry is as it was. After reserve_one(), making one new entry allocates nothing.
    Entry& emplace(const OrderId& id);
    void reserve_one() {
        if (!has_room_for_one()) {  // most calls find the room there already
            make_room_for_one();
        }
    }
    bool has_room_for_one() const noexcept {
        return (size_ + 1) * 4 <= slots_.size() * 3 && (free_head_ != no_place || entries_.size() < entries_.capacity()) &&
               locations_.capacity() >= entries_.capacity();
    }
    // emplace() after reserve_one(): the room is there, so it allocates nothing and cannot fail.
    Entry& emplace_reserved(const OrderId& id) noexcept;
    // Room for `count` entries in all, so that filling an empty registry never rehashes.
    void reserve(std::size_t count);
    // Never allocates: the freed place joins a free list threaded through the locations.
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
        return Order{entry.id, entry.side, entry.status, entry.price_in_ticks, entry.quantity, entry.timestamp};
    }
    Location& location(const Entry& entry) noexcept { return locations_[index_of(entry)]; }
    const Location& location(const Entry& entry) const noexcept { return locations_[index_of(entry)]; }

    Entry& at(std::uint32_t index) noexcept { return entries_[index]; }
    std::uint32_t index_of(const Entry& entry) const noexcept {
        return static_cast<std::uint32_t>(&entry - entries_.data());
    }
    std::size_t size() const noexcept { return size_; }
    // The longest probe run in the table, for tests of the hash's spread.
    std::size_t longest_probe_run() const noexcept;

    // The table's hash of a 36-character id, seeded with the process's secret.
    static std::uint32_t hash(std::string_view id) noexcept;
    // Every place, free ones included (`in_use` tells them apart).
    const std::vector<Entry>& places() const noexcept { return entries_; }

private:
    // 0 = empty, else (32-bit hash << 32) | (entry index + 1). The hash in the slot decides the
    // home position too, so probing, shifting and growing never read an entry except to compare ids.
    using Slot = std::uint64_t;

    std::size_t home(std::uint32_t hash) const noexcept { return hash & mask_; }
    std::size_t slot_of(std::string_view id, std::uint32_t hash) const noexcept;
    // The slot holding `id`'s entry, or null.
    const Slot* slot_holding(std::string_view id) const noexcept;
    std::size_t slot_of_entry(std::uint32_t entry_index) const noexcept;
    void grow();
    void make_room_for_one();
    void rehash(std::size_t slots);  // a power of two
    void insert_slot(Slot slot) noexcept;
    // A new entry for `id` in the free `slot`; the room for it is there.
    Entry& insert_at(std::size_t slot, const OrderId& id, std::uint32_t hash) noexcept;

    static constexpr std::uint32_t no_place = 0xFFFF'FFFF;

    std::vector<Entry> entries_;
    std::vector<Location> locations_;  // of a free place: `sequence` links the next free place
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::uint32_t free_head_ = no_place;
    std::size_t found_slot_ = 0;  // where the last non-const find() found its entry
};

}  // namespace varnholt
