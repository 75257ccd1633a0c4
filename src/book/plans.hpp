#pragma once

// The plans of the book's two-step operations: what an operation works out and allocates before
// it changes anything (the plan, which may fail), and hands to its commit (which cannot).
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "../records/order.hpp"
#include "book_types.hpp"
#include "levels.hpp"

namespace varnholt {

// A side of the book: price -> the index of its level in the level pool.
using SideLevels = std::map<std::int64_t, std::uint32_t>;

// How long an entering order stays: its remainder rests (add), is dropped (an immediate order),
// or it trades only when it fills completely.
enum class TimeInForce : std::uint8_t { GoodTillCancelled, ImmediateOrCancel, FillOrKill };

// What resting an order needs, allocated ahead: room in the registry, the node pool, the
// reference index and, for a price without a level, the level pool, the price index and the
// side map's node (made in a map of its own and moved into the side's map when the order
// rests: inserting a node allocates nothing).
struct RestPlan {
    std::uint32_t level = no_index;  // the existing level, or no_index for a new one
    SideLevels::node_type new_level;
    bool named = true;  // false: the order (a replayed one) rests without an id (see OrderBook::name_resting)
};

// What the self-trade rule does in a planned sweep besides its fills, in the sweep's order:
// each step acts on the front of the best opposite level once the fills before it
// (`before_fill` of them) are made. A cancel takes the resting order out (recorded Canceled);
// a decrement takes `quantity` from both orders. `incoming_ended`: the rule ended the incoming
// order (its remainder cancelled), which is then Canceled.
struct SelfTradeStep {
    std::size_t before_fill;
    double quantity;
    bool cancels_resting;
};
struct SelfTrades {
    std::vector<SelfTradeStep> steps;
    bool incoming_ended = false;
};
// The resting order a planned fill trades with: its reference and price.
struct Matched {
    std::uint64_t resting_ref;
    std::int64_t price_in_ticks;
};
// An id drawn in a plan for an unnamed registry entry, given to it by the commit.
struct Naming {
    std::uint32_t entry;
    OrderId id;
};

// The shared body of add, take and a replayed new order, in two steps. The plan matches
// `order` (copied) against the opposite side without changing anything, appending the fills
// (and, if asked, what they trade with) to the empty `fills` and `matched`, and allocates what
// resting its remainder under `ref` needs. The commit then changes the book and cannot fail:
// the remainder rests, or is dropped (an immediate order), or nothing happens at all (a
// fill-or-kill that would not fill completely: killed, and the commit returns nullopt).
// Otherwise it returns the order as it ends.
struct EntryPlan {
    Order arriving;
    TimeInForce time_in_force;
    std::uint64_t ref;
    bool killed;
    bool rests;
    RestPlan rest;
    bool filled_by_sum = false;  // an immediate order the sweep fills, with a remainder left by rounding
    bool named = true;           // false for a replayed order: it enters without an id
    std::vector<Naming> names;   // the orders it trades with, named by the commit
    SelfTrades self_trades;
};

// The body of amend() for an entry, in the same two steps. A plan without a node means the id
// has no resting order. The commit returns the order as it is now; `before` in the plan is
// how it was.
struct AmendmentPlan {
    std::uint32_t node = no_index;
    std::uint32_t entry_index = 0;
    Order before;
    Order after;
    bool in_place = false;
    bool moves = false;
    bool rests = false;
    RestPlan rest;
    std::vector<Naming> names;
    SelfTrades self_trades;
};

}  // namespace varnholt
