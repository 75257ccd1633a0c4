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
// An open-addressing table (linear probing, backward-shift deletion) over a dense array of
// entries, so a lookup costs one probe sequence of 8-byte slots and no allocation, and memory per
// order stays small. Besides the recorded value, an entry counts the book's resting copies with
// that id and, while there is exactly one, knows where it rests, so a cancel goes straight to it.
// An entry can therefore outlive its recording: a cancelled id whose copy still rests at another
// price keeps an unrecorded entry until that copy leaves.
class Registry {
public:
    struct Entry {
        Order order;
        Level* level = nullptr;       // where the only resting copy is, when `copies` is 1 and
        std::uint32_t position = 0;   // `located` is set
        std::uint32_t copies = 0;     // resting copies with this id
        bool located = false;
        bool recorded = false;        // whether `order` is visible as the registry's value
    };

    Registry();

    // Entry pointers and references stay valid only until the next emplace or erase.
    Entry* find(std::string_view id) noexcept;
    const Entry* find(std::string_view id) const noexcept;
    Entry& emplace(const OrderId& id);
    void erase(Entry& entry) noexcept;

    std::size_t size() const noexcept { return entries_.size(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }

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
};

}  // namespace varnholt
