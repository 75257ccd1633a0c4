#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "../records/order.hpp"

namespace varnholt {

// Index of a resting copy in the book's node pool.
using NodeIndex = std::uint32_t;
inline constexpr NodeIndex no_node = UINT32_MAX;

// The book's order registry: id text -> the order as last recorded.
//
// An open-addressing table (linear probing, backward-shift deletion) over a dense array of
// entries, so a lookup costs one probe sequence of 8-byte slots and no allocation, and memory per
// order stays small. Besides the recorded value, an entry heads the chain of the book's resting
// copies with that id, which lets a cancel reach them without scanning a level. An entry can
// therefore outlive its recording: a cancelled id whose copies still rest elsewhere keeps an
// unrecorded entry until the last copy leaves.
class Registry {
public:
    struct Entry {
        Order order;
        NodeIndex resting = no_node;  // first resting copy with this id
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
    using Slot = std::uint64_t;  // 0 = empty, else (hash high bits << 32) | (entry index + 1)

    static std::uint64_t hash(std::string_view id) noexcept;
    std::size_t slot_of(std::string_view id, std::uint64_t hash) const noexcept;
    void grow();
    void insert_slot(std::uint64_t hash, std::uint32_t entry_index) noexcept;

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

}  // namespace varnholt
