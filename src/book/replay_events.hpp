// What the replay loop and the feed verbs share about one event's result: marking it applied or
// rejected, the checks of a new order's own values, and room for the fills it makes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "replay.hpp"

namespace varnholt::replay_events {

constexpr auto applied = static_cast<std::uint8_t>(EventStatus::Applied);

inline void reject(EventOutcome& outcome, RejectReason reason) noexcept {
    outcome.status = static_cast<std::uint8_t>(EventStatus::Rejected);
    outcome.reason = static_cast<std::uint8_t>(reason);
}

inline bool positive_and_finite(double quantity) noexcept { return quantity > 0.0 && std::isfinite(quantity); }

// Room for `extra` more records, growing geometrically (reserve() alone grows to the exact size,
// which would copy the whole vector for every event that trades).
inline void make_room(std::vector<FillRecord>& records, std::size_t extra) {
    if (extra == 0) {
        return;
    }
    const std::size_t needed = records.size() + extra;
    if (needed > records.capacity()) {
        records.reserve(std::max(needed, 2 * records.capacity()));
    }
}

// The reason a new order's own values refuse it, checked in this order; None when they are good.
inline RejectReason new_order_fault(const ReplayEvent& event, bool reads_side) noexcept {
    if (reads_side && event.side > 1) {
        return RejectReason::Side;
    }
    if (!positive_and_finite(event.quantity)) {
        return RejectReason::Quantity;
    }
    if (event.price_in_ticks <= 0) {
        return RejectReason::Price;
    }
    return RejectReason::None;
}

}  // namespace varnholt::replay_events
