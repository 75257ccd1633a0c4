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
// slots and no allocation, and an entry never moves: a resting copy can keep its entry's index. Besides the recorded value, an entry counts the book's resting copies with
// that id and, while there is exactly one, knows where it rests, so a cancel goes straight to it.
// An entry can therefore outlive its recording: a cancelled id whose copy still rests at another
// price keeps an unrecorded entry until that copy leaves.
class Registry {
public:
    struct Entry {
        Order order;
        Level* level = nullptr;       // where the only resting copy is, when `copies` is 1 and
        std::uint64_t sequence = 0;   // `located` is set (its slot's sequence number in the level)
        std::uint32_t copies = 0;     // resting copies with this id
        bool located = false;
        bool recorded = false;        // whether `order` is visible as the registry's value
        bool in_use = false;          // false for a place on the free list
    };

    Registry();

    // Entry pointers and references stay valid only until the next emplace; indices stay valid
    // until the entry is erased.
    Entry* find(std::string_view id) noexcept;
    const Entry* find(std::string_view id) const noexcept;
    Entry& emplace(const OrderId& id);
    void erase(Entry& entry) noexcept;

    Entry& at(std::uint32_t index) noexcept { return entries_[index]; }
    std::uint32_t index_of(const Entry& entry) const noexcept {
        return static_cast<std::uint32_t>(&entry - entries_.data());
    }
    std::size_t size() const noexcept { return size_; }
    // Every place, free ones included (`in_use` tells them apart).
    const std::vector<Entry>& places() const noexcept { return entries_; }

private:
    // 0 = empty, else (32-bit hash << 32) | (entry index + 1). The hash in the slot decides the
    // home position too, so probing, shifting and growing never read an entry except to compare ids.
    using Slot = std::uint64_t;

    static std::uint32_t hash(std::string_view id) noexcept;
    std::size_t home(std::uint32_t hash) const noexcept { return hash & mask_; }
    std::size_t slot_of(std::string_view id, std::uint32_t hash) const noexcept;
    std::size_t slot_of_entry(std::uint32_t entry_index) const noexcept;
    void grow();
    void insert_slot(Slot slot) noexcept;

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::vector<std::uint32_t> free_places_;
};

}  // namespace varnholt
