#include "registry.hpp"

#include <cstring>

#include "../records/environment.hpp"
#include "../records/portable.hpp"

namespace varnholt {
namespace {

constexpr std::size_t initial_slots = 256;
constexpr unsigned hash_shift = 32;

std::uint64_t load64(const char* bytes) noexcept {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Whether a stored id equals 36 characters of text: five word compares instead of a call.
bool same_id(const OrderId& stored, const char* text) noexcept {
    const char* own = stored.chars.data();
    std::uint32_t own_tail;
    std::uint32_t text_tail;
    std::memcpy(&own_tail, own + 32, sizeof own_tail);
    std::memcpy(&text_tail, text + 32, sizeof text_tail);
    return ((load64(own) ^ load64(text)) | (load64(own + 8) ^ load64(text + 8)) | (load64(own + 16) ^ load64(text + 16)) |
            (load64(own + 24) ^ load64(text + 24)) | (own_tail ^ text_tail)) == 0;
}

std::uint32_t entry_index(std::uint64_t slot) noexcept {
    return static_cast<std::uint32_t>(slot) - 1;
}

std::uint32_t slot_hash(std::uint64_t slot) noexcept {
    return static_cast<std::uint32_t>(slot >> hash_shift);
}

std::uint64_t make_slot(std::uint32_t hash, std::uint32_t index) noexcept {
    return (static_cast<std::uint64_t>(hash) << hash_shift) | (static_cast<std::uint64_t>(index) + 1);
}

}  // namespace

Registry::Registry() : slots_(initial_slots, 0), mask_(initial_slots - 1) {}

std::uint32_t Registry::hash(std::string_view id) noexcept {
    // Every recorded id is a 36-character UUID text, so other lengths never get this far. Hex
    // text carries only four random bits per byte, so all 36 bytes are folded in through
    // 64x64->128-bit multiplies, which spread every input bit over the whole result.
    const auto fold = [](std::uint64_t a, std::uint64_t b) noexcept { return fold_product(a, b); };
    const char* c = id.data();
    std::uint32_t tail;
    std::memcpy(&tail, c + 32, sizeof tail);
    // The process's secret seed keeps anyone who chooses ids (a restored snapshot) from choosing
    // ids that collide.
    static const std::uint64_t seed = hash_seed();
    const std::uint64_t h = fold(load64(c) ^ 0xA0761D6478BD642Full ^ seed, load64(c + 8) ^ 0xE7037ED1A0B428DBull) ^
                            fold(load64(c + 16) ^ 0x8EBC6AF09C88C6E3ull, load64(c + 24) ^ tail ^ 0x589965CC75374CC3ull);
    return static_cast<std::uint32_t>(fold(h, 0x1D8E4E27C47D124Full));
}

std::size_t Registry::slot_of(std::string_view id, std::uint32_t hash) const noexcept {
    for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
        const Slot slot = slots_[i];
        if (slot == 0) {
            return i;
        }
        if (slot_hash(slot) == hash && same_id(entries_[entry_index(slot)].id, id.data())) {
            return i;
        }
    }
}

std::size_t Registry::slot_of_entry(std::uint32_t index) const noexcept {
    const std::uint32_t hash = locations_[index].hash;
    std::size_t i = home(hash);
    while (slots_[i] == 0 || entry_index(slots_[i]) != index) {
        i = (i + 1) & mask_;
    }
    return i;
}

const Registry::Slot* Registry::slot_holding(std::string_view id) const noexcept {
    if (id.size() != id_length) {
        return nullptr;
    }
    const Slot& slot = slots_[slot_of(id, hash(id))];
    return slot == 0 ? nullptr : &slot;
}

const Registry::Entry* Registry::find(std::string_view id) const noexcept {
    const Slot* slot = slot_holding(id);
    return slot != nullptr ? &entries_[entry_index(*slot)] : nullptr;
}

Registry::Entry* Registry::find(std::string_view id) noexcept {
    const Slot* slot = slot_holding(id);
    if (slot == nullptr) {
        return nullptr;
    }
    found_slot_ = static_cast<std::size_t>(slot - slots_.data());
    return &entries_[entry_index(*slot)];
}

void Registry::make_room_for_one() {
    // Keep the load at or below three quarters.
    if ((size_ + 1) * 4 > slots_.size() * 3) {
        grow();
    }
    if (free_head_ == no_place && entries_.size() == entries_.capacity()) {
        const std::size_t capacity = entries_.capacity() < 16 ? 16 : 2 * entries_.capacity();
        entries_.reserve(capacity);
        locations_.reserve(capacity);
    } else if (locations_.capacity() < entries_.capacity()) {
        locations_.reserve(entries_.capacity());
    }
}

void Registry::reserve(std::size_t count) {
    std::size_t slots = slots_.size();
    while (count * 4 > slots * 3) {
        slots *= 2;
    }
    if (slots != slots_.size()) {
        rehash(slots);
    }
    entries_.reserve(count);
    locations_.reserve(count);
}

Registry::Entry& Registry::emplace(const OrderId& id) {
    const std::uint32_t h = hash(id.view());
    std::size_t i = slot_of(id.view(), h);
    if (slots_[i] != 0) {
        return entries_[entry_index(slots_[i])];
    }
    // Everything that allocates comes first; from here on nothing can fail.
    const std::size_t slots = slots_.size();
    reserve_one();
    if (slots_.size() != slots) {
        i = slot_of(id.view(), h);
    }
    return insert_at(i, id, h);
}

Registry::Entry& Registry::emplace_reserved(const OrderId& id) noexcept {
    const std::uint32_t h = hash(id.view());
    const std::size_t i = slot_of(id.view(), h);
    if (slots_[i] != 0) {
        return entries_[entry_index(slots_[i])];
    }
    return insert_at(i, id, h);
}

Registry::Entry& Registry::insert_at(std::size_t slot, const OrderId& id, std::uint32_t hash) noexcept {
    std::uint32_t index;
    if (free_head_ == no_place) {
        index = static_cast<std::uint32_t>(entries_.size());
        entries_.emplace_back();  // within the capacity that reserve_one() made
        locations_.emplace_back();
    } else {
        index = free_head_;
        free_head_ = locations_[index].sequence;
        entries_[index] = Entry{};
        locations_[index] = Location{};
    }
    Entry& entry = entries_[index];
    entry.id = id;
    entry.in_use = true;
    locations_[index].hash = hash;
    slots_[slot] = make_slot(hash, index);
    ++size_;
    return entry;
}

void Registry::erase(Entry& entry) noexcept {
    const auto index = static_cast<std::uint32_t>(&entry - entries_.data());
    // Backward-shift deletion: pull later members of the probe run into the hole so that no
    // tombstones are needed. The hole is where the last find() found the entry, as it is when a
    // cancel erases what it looked up, or else it is looked up again.
    std::size_t hole = found_slot_;
    if (hole >= slots_.size() || slots_[hole] == 0 || entry_index(slots_[hole]) != index) {
        hole = slot_of_entry(index);
    }
    for (std::size_t next = (hole + 1) & mask_; slots_[next] != 0; next = (next + 1) & mask_) {
        const std::size_t next_home = home(slot_hash(slots_[next]));
        // Move `next` into the hole unless its home lies cyclically in (hole, next].
        const bool home_after_hole = ((next - next_home) & mask_) < ((next - hole) & mask_);
        if (!home_after_hole) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = 0;
    entry.in_use = false;
    locations_[index] = Location{nullptr, free_head_, 0, 0};
    free_head_ = index;
    --size_;
}

std::size_t Registry::longest_probe_run() const noexcept {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i] != 0) {
            const std::size_t distance = (i - home(slot_hash(slots_[i]))) & mask_;
            longest = distance + 1 > longest ? distance + 1 : longest;
        }
    }
    return longest;
}

void Registry::insert_slot(Slot slot) noexcept {
    std::size_t i = home(slot_hash(slot));
    while (slots_[i] != 0) {
        i = (i + 1) & mask_;
    }
    slots_[i] = slot;
}

void Registry::grow() { rehash(slots_.size() * 2); }

void Registry::rehash(std::size_t slots) {
    std::vector<Slot> old(slots, 0);  // all or nothing: nothing changes until it is made
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot slot : old) {
        if (slot != 0) {
            insert_slot(slot);
        }
    }
}

}  // namespace varnholt
