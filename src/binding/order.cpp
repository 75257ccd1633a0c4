// The Python face of Order and Fill: the records, their read-only properties, the match test,
// the filling and the text forms.
#include "entry.hpp"
#include "pickling.hpp"

namespace varnholt::binding {
namespace {

Result<Order> new_order(OrderType side, std::int64_t price_in_ticks, double quantity) {
    return make_order(side, price_in_ticks, quantity, system_environment());
}

Fill new_fill(double quantity, double price, std::string_view buy_id, std::string_view sell_id,
              std::uint64_t timestamp) {
    return Fill{quantity, price, Text(buy_id), Text(sell_id), timestamp};
}

bool order_can_match(const Order& self, const Order& other) { return can_match(self, other); }
bool order_is_open(const Order& self) { return self.is_open(); }

// The receiver is filled as the resting order, so the trade takes the receiver's price.
Result<std::optional<Fill>> order_fill(Order& self, Order& incoming, double tick_size) {
    return fill(self, incoming, tick_size, system_wall_clock());
}

const OrderId& order_id(const Order& self) { return self.id; }
OrderType order_side(const Order& self) { return self.side; }
std::int64_t order_price_in_ticks(const Order& self) { return self.price_in_ticks; }
double order_quantity(const Order& self) { return self.quantity; }
OrderStatus order_status(const Order& self) { return self.status; }
std::uint64_t order_timestamp(const Order& self) { return self.timestamp; }
std::string order_text(const Order& self) { return to_text(self); }

double fill_quantity(const Fill& self) { return self.quantity; }
double fill_price(const Fill& self) { return self.price; }
std::string_view fill_buy_id(const Fill& self) { return self.buy_id.view(); }
std::string_view fill_sell_id(const Fill& self) { return self.sell_id.view(); }
std::uint64_t fill_timestamp(const Fill& self) { return self.timestamp; }
std::string fill_text(const Fill& self) { return to_text(self); }

constexpr Params<3> order_new{"Order", "__new__", {"side", "price_in_ticks", "quantity"}};
constexpr Params<1> order_can_match_params{"Order", "can_match", {"other"}};
constexpr Params<2> order_fill_params{"Order", "fill", {"incoming", "tick_size"}};
constexpr Params<5> fill_new{"Fill", "__new__", {"quantity", "price", "buy_id", "sell_id", "timestamp"}};
constexpr Params<1> order_deepcopy_params{"Order", "__deepcopy__", {"memo"}};
constexpr Params<1> fill_deepcopy_params{"Fill", "__deepcopy__", {"memo"}};

PyMethodDef order_methods[] = {
    method_row<&order_can_match, order_can_match_params>(
        "can_match",
        "can_match(self, other)\n--\n\nDetermines whether this order can match with another order.\n\n"
        "# Arguments\n- `other`: The other order to match against.\n\n"
        "# Returns\n- `true` if the orders are on opposite sides and the prices are compatible."),
    method_row<&order_fill, order_fill_params>(
        "fill",
        "fill($self, incoming, tick_size)\n--\n\nAttempts to fill this order with another incoming order.\n"
        "Updates the quantities and statuses of both orders."),
    no_arguments_row<&order_is_open>("is_open", "is_open($self)\n--\n\nChecks if the order is still open."),
    no_arguments_row<&reduce<Order>>("__reduce__", reduce_doc),
    no_arguments_row<&copy_of<Order>>("__copy__", copy_doc),
    method_row<&deep_copy_of<Order>, order_deepcopy_params>("__deepcopy__", deepcopy_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef fill_methods[] = {
    no_arguments_row<&reduce<Fill>>("__reduce__", reduce_doc),
    no_arguments_row<&copy_of<Fill>>("__copy__", copy_doc),
    method_row<&deep_copy_of<Fill>, fill_deepcopy_params>("__deepcopy__", deepcopy_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef order_properties[] = {
    property_row<&order_id>("id", "Getter for the order ID."),
    property_row<&order_side>("side", "Getter for the order side."),
    property_row<&order_price_in_ticks>("price_in_ticks", "Getter for the price in ticks."),
    property_row<&order_quantity>("quantity", "Getter for the quantity."),
    property_row<&order_status>("status", "Getter for the order status."),
    property_row<&order_timestamp>("timestamp", "Getter for the timestamp."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot order_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&new_order, order_new>)},
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&order_text>)},
    {Py_tp_methods, order_methods},
    {Py_tp_getset, order_properties},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Order>)},
    {0, nullptr},
};

PyGetSetDef fill_properties[] = {
    property_row<&fill_quantity>("quantity", "Getter for the quantity filled."),
    property_row<&fill_price>("price", "Getter for the fill price."),
    property_row<&fill_buy_id>("buy_id", "Getter for the buy order ID."),
    property_row<&fill_sell_id>("sell_id", "Getter for the sell order ID."),
    property_row<&fill_timestamp>("timestamp", "Getter for the fill timestamp."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fill_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&new_fill, fill_new>)},
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&fill_text>)},
    {Py_tp_methods, fill_methods},
    {Py_tp_getset, fill_properties},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Fill>)},
    {0, nullptr},
};

}  // namespace

template <>
const ClassDefinition& Class<Order>::definition() {
    static const ClassDefinition definition{
        "Order", "(side, price_in_ticks, quantity)",
        "Represents a single order in the order book.\nContains details such as price, quantity, side (Buy/Sell), and status.",
        sizeof(Instance<Order>), order_slots, {}};
    return definition;
}

template <>
const ClassDefinition& Class<Fill>::definition() {
    static const ClassDefinition definition{
        "Fill", "(quantity, price, buy_id, sell_id, timestamp)",
        "Represents a match (fill) between two orders.\nTracks details such as the quantity, price, and the involved order IDs.",
        sizeof(Instance<Fill>), fill_slots, {}};
    return definition;
}

}  // namespace varnholt::binding
