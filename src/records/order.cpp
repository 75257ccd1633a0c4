#include "order.hpp"

#include "number_format.hpp"

namespace varnholt {

Result<Order> make_order(OrderType side, std::int64_t price_in_ticks, double quantity, Environment& environment) {
    if (price_in_ticks <= 0) {
        return invalid_value("price_in_ticks must be positive");
    }
    if (quantity <= 0.0) {
        return invalid_value("quantity must be positive");
    }
    auto id = environment.ids.next();
    if (!id) {
        return std::unexpected(std::move(id.error()));
    }
    auto timestamp = environment.clock.now_ns();
    if (!timestamp) {
        return std::unexpected(std::move(timestamp.error()));
    }
    return Order{*id, side, OrderStatus::Open, price_in_ticks, quantity, *timestamp};
}

bool can_match(const Order& a, const Order& b) noexcept {
    if (a.side == b.side) {
        return false;
    }
    const Order& buy = a.side == OrderType::Buy ? a : b;
    const Order& sell = a.side == OrderType::Buy ? b : a;
    return buy.price_in_ticks >= sell.price_in_ticks;
}

std::string to_text(const Order& order) {
    std::string text;
    text.reserve(96);
    text += '[';
    text += short_name(order.side);
    text += ' ';
    append_shortest(text, order.quantity);
    text += " @ ";
    append_integer(text, order.price_in_ticks);
    text += "] [";
    text += order.id.text().view();
    text += ", placed at ";
    append_integer(text, order.timestamp);
    text += ']';
    return text;
}

}  // namespace varnholt
