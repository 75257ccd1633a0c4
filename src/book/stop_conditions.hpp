#pragma once

// What replay's stop conditions remember between events: the best level of a side as last seen,
// and where the order under a queued reference stood (stop_conditions.cpp compares them).
#include <cstdint>

#include "../records/text.hpp"
#include "levels.hpp"

namespace varnholt {

// The stop conditions' view of the book. A level's cached total (Level::quantity_known) is
// what makes them cheap: every change to a level but an order joining at its back forgets
// it, and the conditions keep the levels they watch known after each look. A watched level
// whose total is still known and whose count is the same has therefore not changed, and only
// a level that changed is walked again.
struct TouchState {
    bool present = false;
    std::uint32_t level = no_index;
    std::int64_t price_in_ticks = 0;
    std::uint32_t count = 0;
    double quantity = 0.0;
};
struct QueueState {
    std::uint64_t ref = 0;
    std::uint32_t node = no_index;  // no_index while no order rests under the reference
    std::uint32_t level = no_index;
    std::int64_t price_in_ticks = 0;
    OrderId id;
    std::uint64_t orders_ahead = 0;
    double quantity_ahead = 0.0;
};

}  // namespace varnholt
