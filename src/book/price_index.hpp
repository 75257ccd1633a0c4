#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnholt {

struct Level;

// Price -> level of one side, beside the side's ordered map: resting an order at an existing
// price then costs one probe instead of a walk down the tree. Open addressing with linear probing
// and backward-shift deletion; a null level marks an empty slot.
class PriceIndex {
public:
    PriceIndex() : slots_(16) {}

    Level* find(std::int64_t price) const noexcept {
        for (std::size_t i = home(price);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.level == nullptr || slot.price == price) {
                return slot.level;
            }
        }
    }

    void insert(std::int64_t price, Level* level) {
        if ((size_ + 1) * 2 > slots_.size()) {
            grow();
        }
        place(price, level);
        ++size_;
    }

    void erase(std::int64_t price) noexcept {
        std::size_t hole = home(price);
        while (slots_[hole].price != price || slots_[hole].level == nullptr) {
            hole = (hole + 1) & mask();
        }
        for (std::size_t next = (hole + 1) & mask(); slots_[next].level != nullptr; next = (next + 1) & mask()) {
            const std::size_t next_home = home(slots_[next].price);
            // Move `next` into the hole unless its home lies cyclically in (hole, next].
            if (((next - next_home) & mask()) >= ((next - hole) & mask())) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = Slot{};
        --size_;
    }

private:
    struct Slot {
        std::int64_t price = 0;
        Level* level = nullptr;
    };

    std::size_t mask() const noexcept { return slots_.size() - 1; }
    std::size_t home(std::int64_t price) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(price) * 0x9E3779B97F4A7C15ull) >> 20) & mask();
    }

    void place(std::int64_t price, Level* level) noexcept {
        std::size_t i = home(price);
        while (slots_[i].level != nullptr) {
            i = (i + 1) & mask();
        }
        slots_[i] = Slot{price, level};
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.level != nullptr) {
                place(slot.price, slot.level);
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace varnholt
