#pragma once

// The small types of the book's interface: references, what the queries return, the self-trade
// policies and the hook that sees an operation's fills before its commit.
#include <cstdint>
#include <span>
#include <utility>

#include "../records/error.hpp"
#include "../records/fill.hpp"

namespace varnholt {

// A caller's reference for an order (replay() enters orders under their references); no_ref marks
// orders entered without one, and is never a reference itself.
inline constexpr std::uint64_t no_ref = ~std::uint64_t{0};

// (price in ticks, quantity of the front order) of a best level.
using BestLevel = std::pair<std::int64_t, double>;

// One level as depth() and volume_at() see it: its price, the sum of the open quantities of its
// resting orders (in queue order from 0.0) and how many orders rest there.
struct LevelDepth {
    std::int64_t price_in_ticks = 0;
    double quantity = 0.0;
    std::uint64_t orders = 0;
};

// What happens when an incoming order would trade with a resting order of its own (non-zero)
// owner: nothing special (Off), the resting order is cancelled and matching goes on, the incoming
// order's remainder is cancelled and matching stops, or both lose the smaller quantity and no
// fill is made.
enum class SelfTrade : std::uint8_t { Off = 0, CancelResting = 1, CancelIncoming = 2, Decrement = 3 };
inline constexpr std::uint8_t self_trade_policies = 4;

// Orders and open quantity ahead of a resting order in its level.
struct QueuePosition {
    std::uint64_t orders_ahead = 0;
    double quantity_ahead = 0.0;
};

// Shown what an entering order or an amendment is about to return, after its plan and before its
// commit: whoever hands the result on (the Python binding, which makes the list of Fill objects
// here) makes everything it needs now, because nothing may fail once the book has changed. An
// error (or an exception) ends the operation with the book as it was, and the operation returns
// that error.
class BeforeCommit {
public:
    virtual Result<void> ready(std::span<const Fill> fills) = 0;

protected:
    ~BeforeCommit() = default;
};

}  // namespace varnholt
