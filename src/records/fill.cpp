#include "fill.hpp"

#include <cmath>

#include "number_format.hpp"

namespace varnholt {
namespace {

double smaller_quantity(double a, double b) noexcept {
    if (std::isnan(a)) {
        return b;
    }
    if (std::isnan(b)) {
        return a;
    }
    return b < a ? b : a;
}

}  // namespace

void reduce_by(Order& order, double quantity) noexcept {
    order.quantity -= quantity;
    if (order.quantity <= 0.0) {
        order.status = OrderStatus::Filled;
    }
}

std::optional<Fill> fill_at(Order& resting, Order& incoming, double tick_size, std::uint64_t timestamp) noexcept {
    if (!can_match(resting, incoming)) {
        return std::nullopt;
    }
    const double quantity = smaller_quantity(resting.quantity, incoming.quantity);
    reduce_by(resting, quantity);
    reduce_by(incoming, quantity);
    const Order& buy = resting.side == OrderType::Buy ? resting : incoming;
    const Order& sell = resting.side == OrderType::Buy ? incoming : resting;
    return Fill{quantity, static_cast<double>(resting.price_in_ticks) * tick_size, Text(buy.id), Text(sell.id),
                timestamp};
}

Result<std::optional<Fill>> fill(Order& resting, Order& incoming, double tick_size, WallClock& clock) {
    if (!can_match(resting, incoming)) {
        return std::optional<Fill>{};
    }
    auto timestamp = clock.now_ns();
    if (!timestamp) {
        return std::unexpected(std::move(timestamp.error()));
    }
    return fill_at(resting, incoming, tick_size, *timestamp);
}

std::string to_text(const Fill& fill) {
    std::string text;
    text.reserve(128);
    text += '[';
    append_fixed(text, fill.quantity, 2);
    text += " @ ";
    append_fixed(text, fill.price, 2);
    text += "] Buy: ";
    text += fill.buy_id.view();
    text += ", Sell: ";
    text += fill.sell_id.view();
    text += ", Filled at ";
    append_integer(text, fill.timestamp);
    return text;
}

}  // namespace varnholt
