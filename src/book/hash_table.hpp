#pragma once

// The book's one hash table: an open-addressing set of 32-bit indices into an array the caller
// owns (registry entries, price levels, resting nodes, a saved state's ids), looked up by a key
// that only the caller can compare; and the seeded hashes of the keys it is used with.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "../records/environment.hpp"
#include "../records/portable.hpp"

namespace varnholt {

// The seeded hash of a number key (a price, a caller's reference): the top 32 bits of the
// Fibonacci product of the key XORed with the process's secret. Nearby prices, the common case,
// land far apart and evenly spread; without the seed, prices chosen as multiples of the
// multiplier's inverse all had one home slot (resting 40 000 such levels took 1.8 s instead of
// 0.04 s). XOR does not commute with the multiply, so nobody who lacks the seed can line keys up.
inline std::uint32_t hash_number(std::uint64_t key) noexcept {
    static const std::uint64_t seed = hash_seed();
    return static_cast<std::uint32_t>(((key ^ seed) * 0x9E3779B97F4A7C15ull) >> 32);
}

// The seeded hash of an id's text (any length). Hex text carries only four random bits per byte,
// so every 8 bytes are folded in through a 64x64->128-bit multiply, which spreads each input bit
// over the whole result; the secret seed keeps anyone who chooses ids (a restored state) from
// choosing ids that collide.
inline std::uint32_t hash_text(std::string_view text) noexcept {
    static const std::uint64_t seed = hash_seed();
    std::uint64_t h = seed ^ (0xA0761D6478BD642Full * (text.size() + 1));
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        h = fold_product(h ^ word, 0xE7037ED1A0B428DBull);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + at, text.size() - at);
    h = fold_product(h ^ tail ^ 0x8EBC6AF09C88C6E3ull, 0x589965CC75374CC3ull);
    return static_cast<std::uint32_t>(fold_product(h, 0x1D8E4E27C47D124Full));
}

// The seeded hash of an order id's 128 bits: its two halves folded through one 64x64->128-bit
// multiply with the secret, so nobody who lacks the seed can choose ids that collide.
inline std::uint32_t hash_id(const OrderId& id) noexcept {
    static const std::uint64_t seed = hash_seed();
    std::uint64_t high;
    std::uint64_t low;
    std::memcpy(&high, id.bytes.data(), sizeof high);
    std::memcpy(&low, id.bytes.data() + 8, sizeof low);
    const std::uint64_t h = fold_product(high ^ seed ^ 0xA0761D6478BD642Full, low ^ 0xE7037ED1A0B428DBull);
    return static_cast<std::uint32_t>(fold_product(h, 0x1D8E4E27C47D124Full));
}

// A set of indices (below 2^32 - 1), each found by its key's 32-bit hash and a comparison the
// caller makes against its own array. A slot is 8 bytes: the hash and the index, so probing,
// deleting and growing never read the caller's array except to compare keys. Linear probing from
// the hash's top bits, backward-shift deletion (no tombstones), at most MaxLoadPercent full.
// All or nothing: reserve_one() (or reserve()) makes the room, and after it inserting one index
// allocates nothing.
template <unsigned MaxLoadPercent>
class IndexTable {
public:
    static constexpr std::uint32_t none = 0xFFFF'FFFF;

    IndexTable() : slots_(initial_slots, 0) {}

    // The index whose key `same` accepts, or none.
    template <class Same>
    std::uint32_t find(std::uint32_t hash, Same&& same) const noexcept {
        for (std::size_t i = home(hash);; i = (i + 1) & mask()) {
            const Slot slot = slots_[i];
            if (slot == 0) {
                return none;
            }
            if (slot_hash(slot) == hash && same(slot_index(slot))) {
                return slot_index(slot);
            }
        }
    }

    // Hints for a look-up to come, which read nothing that may not be in the cache yet: the
    // cache line of the hash's home slot is fetched, and peek() gives the index in the first slot
    // from home that carries the hash (the key is not compared), or none.
    void prefetch_home(std::uint32_t hash) const noexcept { prefetch(slots_.data() + home(hash)); }
    std::uint32_t peek(std::uint32_t hash) const noexcept {
        for (std::size_t i = home(hash);; i = (i + 1) & mask()) {
            const Slot slot = slots_[i];
            if (slot == 0) {
                return none;
            }
            if (slot_hash(slot) == hash) {
                return slot_index(slot);
            }
        }
    }

    bool has_room_for_one() const noexcept { return (size_ + 1) * 100 <= slots_.size() * MaxLoadPercent; }
    void reserve_one() {
        if (!has_room_for_one()) {
            rehash(slots_.size() * 2);
        }
    }
    // Room for `count` indices in all.
    void reserve(std::size_t count) {
        std::size_t slots = slots_.size();
        while (count * 100 > slots * MaxLoadPercent) {
            slots *= 2;
        }
        if (slots != slots_.size()) {
            rehash(slots);
        }
    }

    // Adds an index whose key is not in the table; the room must be there (reserve_one()).
    void insert(std::uint32_t hash, std::uint32_t index) noexcept {
        place(make_slot(hash, index));
        ++size_;
    }

    // Removes `index`, which is in the table under `hash`.
    void erase(std::uint32_t hash, std::uint32_t index) noexcept {
        std::size_t hole = home(hash);
        while (slots_[hole] == 0 || slot_index(slots_[hole]) != index) {
            hole = (hole + 1) & mask();
        }
        for (std::size_t next = (hole + 1) & mask(); slots_[next] != 0; next = (next + 1) & mask()) {
            const std::size_t next_home = home(slot_hash(slots_[next]));
            // Move `next` into the hole unless its home lies cyclically in (hole, next].
            if (((next - next_home) & mask()) >= ((next - hole) & mask())) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = 0;
        --size_;
    }

    std::size_t size() const noexcept { return size_; }

    // The longest probe run, for tests of the hashes' spread.
    std::size_t longest_probe_run() const noexcept {
        std::size_t longest = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i] != 0) {
                const std::size_t distance = (i - home(slot_hash(slots_[i]))) & mask();
                longest = distance + 1 > longest ? distance + 1 : longest;
            }
        }
        return longest;
    }

private:
    // 0 = empty, else (hash << 32) | (index + 1).
    using Slot = std::uint64_t;

    static std::uint32_t slot_hash(Slot slot) noexcept { return static_cast<std::uint32_t>(slot >> 32); }
    static std::uint32_t slot_index(Slot slot) noexcept { return static_cast<std::uint32_t>(slot) - 1; }
    static Slot make_slot(std::uint32_t hash, std::uint32_t index) noexcept {
        return (static_cast<Slot>(hash) << 32) | (static_cast<Slot>(index) + 1);
    }
    std::size_t mask() const noexcept { return slots_.size() - 1; }
    // The hash's top bits: the number hash keeps its best-mixed bits there.
    std::size_t home(std::uint32_t hash) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) << 32) >> shift_);
    }

    void place(Slot slot) noexcept {
        std::size_t i = home(slot_hash(slot));
        while (slots_[i] != 0) {
            i = (i + 1) & mask();
        }
        slots_[i] = slot;
    }

    void rehash(std::size_t slots) {
        std::vector<Slot> old(slots, 0);  // all or nothing: nothing changes until it is made
        old.swap(slots_);
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
        for (const Slot slot : old) {
            if (slot != 0) {
                place(slot);
            }
        }
    }

    static constexpr std::size_t initial_slots = 16;

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    unsigned shift_ = 60;  // 64 - log2(initial_slots)
};

}  // namespace varnholt
