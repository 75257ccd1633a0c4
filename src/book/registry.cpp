#include "registry.hpp"

#include <cstring>

namespace varnholt {
namespace {

constexpr std::size_t initial_slots = 16;
constexpr std::uint32_t hash_bits_shift = 32;

std::uint64_t load64(const char* bytes) noexcept {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::uint32_t entry_index(std::uint64_t slot) noexcept {
    return static_cast<std::uint32_t>(slot) - 1;
}

std::uint32_t hash_tag(std::uint64_t hash) noexcept {
    return static_cast<std::uint32_t>(hash >> hash_bits_shift);
}

}  // namespace

Registry::Registry() : slots_(initial_slots, 0), mask_(initial_slots - 1) {}

std::uint64_t Registry::hash(std::string_view id) noexcept {
    // Every recorded id is a 36-character UUID text, so other lengths never get this far. Hex
    // text carries only four random bits per byte, so all 36 bytes are folded in through
    // 64x64->128-bit multiplies, which spread every input bit over the whole result.
    const auto fold = [](std::uint64_t a, std::uint64_t b) noexcept {
        __extension__ using Wide = unsigned __int128;
        const Wide product = static_cast<Wide>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    const char* c = id.data();
    std::uint32_t tail;
    std::memcpy(&tail, c + 32, sizeof tail);
    const std::uint64_t h = fold(load64(c) ^ 0xA0761D6478BD642Full, load64(c + 8) ^ 0xE7037ED1A0B428DBull) ^
                            fold(load64(c + 16) ^ 0x8EBC6AF09C88C6E3ull, load64(c + 24) ^ tail ^ 0x589965CC75374CC3ull);
    return fold(h, 0x1D8E4E27C47D124Full);
}

std::size_t Registry::slot_of(std::string_view id, std::uint64_t hash) const noexcept {
    const std::uint32_t tag = hash_tag(hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const Slot slot = slots_[i];
        if (slot == 0) {
            return i;
        }
        if (static_cast<std::uint32_t>(slot >> hash_bits_shift) == tag &&
            entries_[entry_index(slot)].order.id.view() == id) {
            return i;
        }
    }
}

const Registry::Entry* Registry::find(std::string_view id) const noexcept {
    if (id.size() != id_length) {
        return nullptr;
    }
    const Slot slot = slots_[slot_of(id, hash(id))];
    return slot == 0 ? nullptr : &entries_[entry_index(slot)];
}

Registry::Entry* Registry::find(std::string_view id) noexcept {
    return const_cast<Entry*>(static_cast<const Registry*>(this)->find(id));
}

Registry::Entry& Registry::emplace(const OrderId& id) {
    const std::uint64_t h = hash(id.view());
    std::size_t i = slot_of(id.view(), h);
    if (slots_[i] != 0) {
        return entries_[entry_index(slots_[i])];
    }
    // Keep the load at or below three quarters.
    if ((entries_.size() + 1) * 4 > slots_.size() * 3) {
        grow();
        i = slot_of(id.view(), h);
    }
    const auto index = static_cast<std::uint32_t>(entries_.size());
    Entry& entry = entries_.emplace_back();
    entry.order.id = id;
    slots_[i] = (static_cast<Slot>(hash_tag(h)) << hash_bits_shift) | (static_cast<Slot>(index) + 1);
    return entry;
}

void Registry::erase(Entry& entry) noexcept {
    const auto index = static_cast<std::uint32_t>(&entry - entries_.data());
    // Backward-shift deletion: pull later members of the probe run into the hole so that no
    // tombstones are needed.
    std::size_t hole = slot_of(entry.order.id.view(), hash(entry.order.id.view()));
    for (std::size_t next = (hole + 1) & mask_; slots_[next] != 0; next = (next + 1) & mask_) {
        const std::size_t home = hash(entries_[entry_index(slots_[next])].order.id.view()) & mask_;
        // Move `next` into the hole unless its home lies cyclically in (hole, next].
        const bool home_after_hole = ((next - home) & mask_) < ((next - hole) & mask_);
        if (!home_after_hole) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = 0;

    // Keep the entries dense: the last entry takes the erased one's place.
    const auto last = static_cast<std::uint32_t>(entries_.size() - 1);
    if (index != last) {
        Entry& moved = entries_[last];
        const std::size_t moved_slot = slot_of(moved.order.id.view(), hash(moved.order.id.view()));
        slots_[moved_slot] = (slots_[moved_slot] & ~Slot{0xFFFFFFFF}) | (static_cast<Slot>(index) + 1);
        entries_[index] = moved;
    }
    entries_.pop_back();
}

void Registry::insert_slot(std::uint64_t hash, std::uint32_t index) noexcept {
    std::size_t i = hash & mask_;
    while (slots_[i] != 0) {
        i = (i + 1) & mask_;
    }
    slots_[i] = (static_cast<Slot>(hash_tag(hash)) << hash_bits_shift) | (static_cast<Slot>(index) + 1);
}

void Registry::grow() {
    slots_.assign(slots_.size() * 2, 0);
    mask_ = slots_.size() - 1;
    for (std::uint32_t index = 0; index < entries_.size(); ++index) {
        insert_slot(hash(entries_[index].order.id.view()), index);
    }
}

}  // namespace varnholt
