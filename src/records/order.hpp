#pragma once

#include <cstdint>
#include <string>

#include "enums.hpp"
#include "environment.hpp"
#include "error.hpp"
#include "text.hpp"

namespace varnholt {

// One limit order: a 56-byte value with its id inline, so that the book copies it without
// allocating.
struct Order {
    OrderId id;
    OrderType side = OrderType::Buy;
    OrderStatus status = OrderStatus::Open;
    std::int64_t price_in_ticks = 0;
    double quantity = 0.0;  // the quantity still open
    std::uint64_t timestamp = 0;
    // Who entered it, for self-trade prevention (0: nobody in particular). The book's own field:
    // an Order object made in Python always has 0, and saved orders do not hold it.
    std::uint32_t owner = 0;

    bool is_open() const noexcept { return status == OrderStatus::Open; }
};

// The one validating way to make an order. The price is checked before the quantity, and nothing
// is drawn from the random source or read from the clock for a refused order. The quantity test is
// a plain `<= 0.0`, so -0.0 is refused while NaN and +inf pass.
Result<Order> make_order(OrderType side, std::int64_t price_in_ticks, double quantity, Environment& environment);

// Two orders can trade when they are on opposite sides and the buy limit reaches the sell limit.
// Quantities and statuses play no part.
bool can_match(const Order& a, const Order& b) noexcept;

// "[Buy 10 @ 10050] [<id>, placed at <timestamp>]"
std::string to_text(const Order& order);

}  // namespace varnholt
