#include "state.hpp"

#include <cmath>
#include <cstring>

namespace varnholt {

std::unexpected<Error> damaged(std::string_view what, std::string_view problem) {
    std::string message = "cannot restore ";
    message += what;
    message += ": ";
    message += problem;
    return invalid_value(std::move(message));
}

void write_state_header(ByteWriter& out, StateKind kind, std::uint32_t version) {
    out.put(version);
    out.put(static_cast<std::uint8_t>(kind));
}

Result<StateKind> read_state_header(ByteReader& in, std::uint32_t* read_version) {
    const auto version = in.get<std::uint32_t>();
    const auto kind = in.get<std::uint8_t>();
    if (!version || !kind) {
        return damaged("state", "it is too short to hold a version and a kind");
    }
    if (*version < state_version || *version > book_state_version) {
        return damaged("state", "its layout version is " + std::to_string(*version) +
                                    "; this version of varnholt reads versions 1 and 2");
    }
    if (read_version != nullptr) {
        *read_version = *version;
    }
    if (*kind < 1 || *kind > 3) {
        return damaged("state", "its kind " + std::to_string(*kind) + " is not 1 (Order), 2 (Fill) or 3 (OrderBook)");
    }
    return static_cast<StateKind>(*kind);
}

Result<void> expect_state_header(ByteReader& in, StateKind kind, std::string_view what, std::uint32_t* version) {
    auto found = read_state_header(in, version);
    if (!found) {
        return std::unexpected(std::move(found.error()));
    }
    if (*found != kind) {
        return damaged(what, "the state is not " + std::string(what) + "'s");
    }
    return {};
}

Result<void> expect_end(const ByteReader& in) {
    if (in.remaining() != 0) {
        return damaged("state", std::to_string(in.remaining()) + " bytes follow its end");
    }
    return {};
}

void write_order(ByteWriter& out, const Order& order) {
    out.put_bytes(order.id.text().view());
    out.put(static_cast<std::uint8_t>(order.side));
    out.put(static_cast<std::uint8_t>(order.status));
    out.put(order.price_in_ticks);
    out.put(order.quantity);
    out.put(order.timestamp);
}

std::optional<Order> decode_order(ByteReader& in) noexcept {
    const auto id = in.get_bytes(id_length);
    const auto side = in.get<std::uint8_t>();
    const auto status = in.get<std::uint8_t>();
    const auto price = in.get<std::int64_t>();
    const auto quantity = in.get<double>();
    const auto timestamp = in.get<std::uint64_t>();
    if (!timestamp) {
        return std::nullopt;
    }
    // An id that is not an order id's text reads as zeros here; read_order() refuses it.
    return Order{OrderId::parse(*id).value_or(OrderId{}), static_cast<OrderType>(*side),
                 static_cast<OrderStatus>(*status), *price, *quantity, *timestamp};
}

Result<Order> read_order(ByteReader& in) {
    ByteReader id_reader = in;
    const auto id = id_reader.get_bytes(id_length);
    const auto order = decode_order(in);
    if (!order) {
        return invalid_value("the state ends early");
    }
    if (!is_order_id(*id)) {
        return invalid_value("its id is not a 36-character order id");
    }
    if (const auto side = static_cast<unsigned>(order->side); side > 1) {
        return invalid_value("its side " + std::to_string(side) + " is not 0 (Buy) or 1 (Sell)");
    }
    if (const auto status = static_cast<unsigned>(order->status); status > 2) {
        return invalid_value("its status " + std::to_string(status) + " is not 0 (Open), 1 (Filled) or 2 (Canceled)");
    }
    if (order->price_in_ticks <= 0) {
        return invalid_value("its price_in_ticks is not positive");
    }
    if (order->quantity < 0.0) {
        return invalid_value("its quantity is negative");
    }
    // As the book checks what it rests: an open order has something left to trade (an open order
    // of 0.0 would rest and make fills of nothing).
    if (order->is_open() && order->quantity == 0.0) {  // 0.0 and -0.0
        return invalid_value("it is open with no quantity");
    }
    return *order;
}

Result<Order> read_order(ByteReader& in, std::string_view what) {
    auto order = read_order(in);
    if (!order) {
        return damaged(what, order.error().message);
    }
    return order;
}

std::string save_state(const Order& order) {
    std::string state;
    ByteWriter out(state);
    write_state_header(out, StateKind::Order);
    write_order(out, order);
    return state;
}

// Fill: quantity (f64), price (f64), buy_id and sell_id (each a u32 length and UTF-8 bytes),
// timestamp (u64).
std::string save_state(const Fill& fill) {
    std::string state;
    ByteWriter out(state);
    write_state_header(out, StateKind::Fill);
    out.put(fill.quantity);
    out.put(fill.price);
    out.put_text(fill.buy_id.view());
    out.put_text(fill.sell_id.view());
    out.put(fill.timestamp);
    return state;
}

Result<Order> restore_order(std::string_view state) {
    ByteReader in(state);
    if (auto header = expect_state_header(in, StateKind::Order, "an order"); !header) {
        return std::unexpected(std::move(header.error()));
    }
    auto order = read_order(in, "an order");
    if (!order) {
        return order;
    }
    if (auto end = expect_end(in); !end) {
        return std::unexpected(std::move(end.error()));
    }
    return order;
}

Result<Fill> restore_fill(std::string_view state) {
    ByteReader in(state);
    if (auto header = expect_state_header(in, StateKind::Fill, "a fill"); !header) {
        return std::unexpected(std::move(header.error()));
    }
    const auto quantity = in.get<double>();
    const auto price = in.get<double>();
    const auto buy_id = in.get_text();
    const auto sell_id = buy_id ? in.get_text() : std::nullopt;
    const auto timestamp = sell_id ? in.get<std::uint64_t>() : std::nullopt;
    if (!timestamp) {
        return damaged("a fill", "the state ends early");
    }
    if (!is_utf8(*buy_id) || !is_utf8(*sell_id)) {
        return damaged("a fill", "an id is not UTF-8 text");
    }
    if (auto end = expect_end(in); !end) {
        return std::unexpected(std::move(end.error()));
    }
    return Fill{*quantity, *price, Text(*buy_id), Text(*sell_id), *timestamp};
}

}  // namespace varnholt
