#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../records/environment.hpp"
#include "../records/error.hpp"
#include "../records/fill.hpp"
#include "../records/order.hpp"
#include "registry.hpp"

namespace varnholt {

// (price in ticks, quantity of the front order) of a best level.
using BestLevel = std::pair<std::int64_t, double>;

// A single-instrument limit order book with price-time priority.
//
// Containers, chosen for the add/cancel hot path:
// - Resting copies live in one pool of nodes (a vector recycled through a free list), linked into
//   a FIFO per price level, so resting an order never allocates once the pool has grown, and a
//   cancelled or filled copy leaves its queue in O(1) while the rest keep their order.
// - Each side is a std::map from price to level (head and tail of its FIFO): ordered iteration,
//   and the best level is begin() or rbegin() in O(1); only a new price level allocates.
// - The registry (see Registry) maps id text to the last recorded copy and also chains the
//   resting copies of each id, so a cancel goes straight to them instead of scanning its level.
// The book keeps its own copies: nothing it holds is shared with a caller.
class OrderBook {
public:
    explicit OrderBook(double tick_size = 0.01) : tick_size_(tick_size) {}

    double tick_size() const noexcept { return tick_size_; }

    // Matches `arriving` (copied) against the opposite side and rests any open remainder; returns
    // the fills in match order. The span stays valid until the next add. An order whose quantity
    // is NaN or infinite is refused before anything changes: with such quantities a match can
    // leave both orders open and the matching loop would never end.
    Result<std::span<const Fill>> add(const Order& arriving, WallClock& clock);

    // Removes every resting copy of `id` from the level of the registry's value for it, and the
    // registry entry. False when the registry does not know the id.
    bool cancel(std::string_view id);

    // Records a copy of `order` in the registry, replacing any value under its id. Never touches
    // the price levels.
    void update_order(const Order& order) { record(order); }

    const Order* get_order(std::string_view id) const noexcept;

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
    struct Level {
        NodeIndex front = no_node;
        NodeIndex back = no_node;
    };
    using Side = std::map<std::int64_t, Level>;

    struct RestingNode {
        Order order;
        NodeIndex previous = no_node;      // neighbours in the level's FIFO
        NodeIndex next = no_node;          // (the free list also runs through `next`)
        NodeIndex next_same_id = no_node;  // the id's chain, headed in its registry entry
    };

    static std::size_t index(OrderType side) noexcept { return side == OrderType::Buy ? 0 : 1; }
    Side& side_map(OrderType side) noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    const Side& side_map(OrderType side) const noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    double volume(const Side& side) const noexcept;
    double front_quantity(const Level& level) const noexcept;

    Registry::Entry& record(const Order& order);
    void rest(const Order& order);
    // Takes a copy out of its level's FIFO and its id's chain and returns its node to the pool;
    // removes the level when it empties.
    void remove_resting(NodeIndex node, Registry::Entry& entry, Side& side, Side::iterator level);

    double tick_size_;
    Registry registry_;
    std::vector<RestingNode> nodes_;
    NodeIndex free_nodes_ = no_node;
    Side bids_;
    Side asks_;
    std::size_t resting_count_[2] = {0, 0};
    std::vector<Fill> fills_;  // the last add's fills, reused to avoid an allocation per add
};

template <class Visit>
void OrderBook::for_each_resting(OrderType side, Visit&& visit) const {
    for (const auto& [price, level] : side_map(side)) {
        for (NodeIndex node = level.front; node != no_node; node = nodes_[node].next) {
            visit(nodes_[node].order);
        }
    }
}

}  // namespace varnholt
