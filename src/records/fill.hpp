#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "environment.hpp"
#include "error.hpp"
#include "order.hpp"
#include "text.hpp"

namespace varnholt {

// One match between a buy and a sell order. A Fill built by hand is not validated at all.
struct Fill {
    double quantity = 0.0;
    double price = 0.0;
    Text buy_id;
    Text sell_id;
    std::uint64_t timestamp = 0;
};

// Fills `resting` against `incoming` in place. No match -> no fill, nothing changed, clock not read.
//
// The fill quantity is the smaller of the two quantities (a NaN loses to a number); both orders
// lose it and each one left at or below zero becomes Filled. The trade executes at the resting
// order's price: `resting.price_in_ticks * tick_size`, whichever side it is on, so a seller who
// hits a bid receives the bid's price, not its own lower limit.
//
// The clock is read before either order is touched, so a clock failure leaves both unchanged.
Result<std::optional<Fill>> fill(Order& resting, Order& incoming, double tick_size, WallClock& clock);

// The same filling with the fill's time already read: cannot fail.
std::optional<Fill> fill_at(Order& resting, Order& incoming, double tick_size, std::uint64_t timestamp) noexcept;

// One side of a filling: the order loses `quantity` and becomes Filled at or below zero.
void reduce_by(Order& order, double quantity) noexcept;

// "[5.00 @ 100.50] Buy: <buy id>, Sell: <sell id>, Filled at <timestamp>" (no closing bracket)
std::string to_text(const Fill& fill);

}  // namespace varnholt
