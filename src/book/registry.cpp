// The registry's look-ups, insertions and erasures (see registry.hpp).
#include "registry.hpp"

namespace varnholt {

std::uint32_t Registry::find_index(const OrderId& id) const noexcept {
    return table_.find(hash_id(id), [&](std::uint32_t index) { return entries_[index].id == id; });
}

Registry::Entry* Registry::find(const OrderId& id) noexcept {
    const std::uint32_t index = find_index(id);
    return index == table_.none ? nullptr : &entries_[index];
}

const Registry::Entry* Registry::find(const OrderId& id) const noexcept {
    const std::uint32_t index = find_index(id);
    return index == table_.none ? nullptr : &entries_[index];
}

Registry::Entry* Registry::find(std::string_view id) noexcept {
    const auto parsed = OrderId::parse(id);
    return parsed ? find(*parsed) : nullptr;
}

const Registry::Entry* Registry::find(std::string_view id) const noexcept {
    const auto parsed = OrderId::parse(id);
    return parsed ? find(*parsed) : nullptr;
}

Registry::Entry& Registry::take_place() noexcept {
    std::uint32_t index;
    if (free_head_ == no_index) {
        index = static_cast<std::uint32_t>(entries_.size());
        entries_.emplace_back();  // within the capacity that reserve_one() made
    } else {
        index = free_head_;
        free_head_ = entries_[index].node;
        entries_[index] = Entry{};
    }
    Entry& entry = entries_[index];
    entry.in_use = true;
    return entry;
}

Registry::Entry& Registry::emplace_reserved(const OrderId& id) noexcept {
    const std::uint32_t hash = hash_id(id);
    const std::uint32_t found = table_.find(hash, [&](std::uint32_t index) { return entries_[index].id == id; });
    if (found != table_.none) {
        return entries_[found];
    }
    Entry& entry = take_place();
    entry.id = id;
    entry.named = true;
    table_.insert(hash, index_of(entry));
    return entry;
}

Registry::Entry& Registry::emplace_unnamed_reserved() noexcept {
    ++unnamed_;
    return take_place();
}

void Registry::name(Entry& entry, const OrderId& id) noexcept {
    entry.id = id;
    entry.named = true;
    --unnamed_;
    table_.insert(hash_id(id), index_of(entry));
}

void Registry::erase(Entry& entry) noexcept {
    const std::uint32_t index = index_of(entry);
    if (entry.named) {
        table_.erase(hash_id(entry.id), index);
    } else {
        --unnamed_;
    }
    entry.in_use = false;
    entry.named = false;
    entry.recorded = false;
    entry.copies = 0;
    entry.node = free_head_;
    free_head_ = index;
}

}  // namespace varnholt
