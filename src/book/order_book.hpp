#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../records/environment.hpp"
#include "../records/error.hpp"
#include "../records/fill.hpp"
#include "../records/order.hpp"
#include "price_index.hpp"
#include "registry.hpp"

namespace varnholt {

// (price in ticks, quantity of the front order) of a best level.
using BestLevel = std::pair<std::int64_t, double>;

// One price level: a FIFO of resting copies kept contiguous, so that matching, volumes and listings
// walk memory in order. A copy that leaves is vacated in place (its status is no longer Open;
// resting copies are always Open). `head` is always the first live slot while the level has any.
// Slots are numbered by a sequence that never changes while a copy rests: the slot at index i has
// number first_sequence + i, so dropping the consumed prefix (after fills from the front) moves
// memory but renumbers nothing; only squeezing out holes left by cancels renumbers, and that runs
// once holes outnumber live copies. Each slot also keeps the index of its id's registry entry, so
// matching records a fill without hashing.
struct RestingOrder {
    Order order;
    std::uint32_t entry;
};

struct Level {
    std::vector<RestingOrder> slots;
    std::uint64_t first_sequence = 0;
    std::uint32_t head = 0;
    std::uint32_t live = 0;
    std::int64_t price_in_ticks = 0;
    OrderType side = OrderType::Buy;

    // Registry entries keep slot numbers modulo 2^32; a level never holds 2^32 slots at once, so
    // the difference is exact.
    std::uint32_t sequence_at(std::size_t position) const noexcept {
        return static_cast<std::uint32_t>(first_sequence + position);
    }
    std::uint32_t position_of(std::uint32_t sequence) const noexcept {
        return sequence - static_cast<std::uint32_t>(first_sequence);
    }
};

// A single-instrument limit order book with price-time priority.
//
// Containers, chosen for the add/cancel hot path and for walks over deep books:
// - Each side is a std::map from price to Level: ordered iteration, and the best level is
//   begin() or rbegin() in O(1). A hash index from price to level beside it finds the level of
//   a resting order in one probe, and the buffers of emptied levels are kept for new ones.
// - A level keeps its copies contiguously (see Level): resting an order appends, a fill takes the
//   front, a cancel vacates a slot in O(1).
// - The registry (see Registry) maps id text to the last recorded copy and remembers where the
//   id's resting copy is, so a cancel costs one hash look-up and no search.
// The book keeps its own copies: nothing it holds is shared with a caller.
class OrderBook {
public:
    explicit OrderBook(double tick_size = 0.01) : tick_size_(tick_size) {}

    double tick_size() const noexcept { return tick_size_; }

    // Matches `arriving` (copied) against the opposite side and rests any open remainder; returns
    // the fills in match order. An order whose quantity
    // is NaN or infinite is refused before anything changes: with such quantities a match can
    // leave both orders open and the matching loop would never end.
    Result<std::vector<Fill>> add(const Order& arriving, WallClock& clock);

    // Removes every resting copy of `id` from the level of the registry's value for it, and the
    // registry entry. False when the registry does not know the id.
    bool cancel(std::string_view id);

    // Records a copy of `order` in the registry, replacing any value under its id. Never touches
    // the price levels.
    void update_order(const Order& order) { record(order); }

    std::optional<Order> get_order(std::string_view id) const noexcept;

    // Makes an order from a decimal price without touching the book: price / tick size, rounded to
    // nearest with ties away from zero, saturated to 64 bits.
    Result<Order> create_order(OrderType side, double price, double quantity, Environment& environment) const;

    std::optional<BestLevel> best_bid() const noexcept;
    std::optional<BestLevel> best_ask() const noexcept;
    double buy_volume() const noexcept { return volume(bids_); }
    double sell_volume() const noexcept { return volume(asks_); }
    std::optional<double> spread() const noexcept;

    // "Best Bid: ..., Best Ask: ... (Spread: ...)\nOpen Buy Volume: ..., Open Sell Volume: ..."
    std::string summary() const;

    // Resting orders of one side, lowest price first, oldest first within a level.
    std::size_t resting_count(OrderType side) const noexcept { return resting_count_[index(side)]; }
    template <class Visit>
    void for_each_resting(OrderType side, Visit&& visit) const;

    // Checks every structural invariant; returns a description of the first broken one.
    std::optional<std::string> find_broken_invariant() const;

private:
    using Side = std::map<std::int64_t, Level>;

    static std::size_t index(OrderType side) noexcept { return side == OrderType::Buy ? 0 : 1; }
    Side& side_map(OrderType side) noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    const Side& side_map(OrderType side) const noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    double volume(const Side& side) const noexcept;

    Registry::Entry& record(const Order& order);
    void rest(const Order& order);
    // The level at a price, created (with a recycled buffer when one is spare) if there is none.
    Level& level_at(OrderType side, std::int64_t price);
    // Removes an emptied level from its map and index and keeps its buffer for a later level.
    void erase_level(OrderType side, std::int64_t price);
    // Vacates one live slot and keeps `head` on the first live slot; the caller removes an emptied
    // level.
    void vacate(Level& level, std::uint32_t position) noexcept;
    // The registry's side of a copy leaving the book.
    void forget_copy(Registry::Entry& entry) noexcept;
    // Drops the consumed prefix, and squeezes out holes once they outnumber the live copies.
    void compact_if_sparse(Level& level) {
        // Either way needs at least `compaction_slack` dead slots; most calls end at this test.
        if (level.slots.size() - level.live >= compaction_slack) {
            compact(level);
        }
    }
    void compact(Level& level);
    static constexpr std::size_t compaction_slack = 32;

    double tick_size_;
    Registry registry_;
    Side bids_;
    Side asks_;
    PriceIndex<Side::iterator> level_index_[2];
    std::vector<std::vector<RestingOrder>> spare_buffers_;
    std::size_t resting_count_[2] = {0, 0};
};

template <class Visit>
void OrderBook::for_each_resting(OrderType side, Visit&& visit) const {
    for (const auto& [price, level] : side_map(side)) {
        for (std::size_t position = level.head; position < level.slots.size(); ++position) {
            if (level.slots[position].order.is_open()) {
                visit(level.slots[position].order);
            }
        }
    }
}

}  // namespace varnholt
