// The Python face of OrderBook.
#include "entry.hpp"

namespace varnholt::binding {
namespace {

// The resting orders of one side, copied out of the book and then turned into a new list of new
// Order objects.
struct RestingOrders {
    const OrderBook* book;
    OrderType side;
};

std::vector<Order> copy_out(const RestingOrders& resting) {
    std::vector<Order> orders;
    orders.reserve(resting.book->resting_count(resting.side));
    resting.book->for_each_resting(resting.side, [&](const Order& order) { orders.push_back(order); });
    return orders;
}

OrderBook new_book(std::optional<double> tick_size) { return OrderBook(tick_size.value_or(0.01)); }

Result<Order> book_create_order(const OrderBook& self, OrderType side, double price, double quantity) {
    return self.create_order(side, price, quantity, system_environment());
}

Result<std::vector<Fill>> book_add(OrderBook& self, Order incoming_order) {
    return self.add(incoming_order, system_wall_clock());
}

bool book_cancel(OrderBook& self, std::string_view order_id) { return self.cancel(order_id); }
std::optional<Order> book_get_order(const OrderBook& self, std::string_view order_id) { return self.get_order(order_id); }
void book_update_order(OrderBook& self, const Order& order) { self.update_order(order); }
std::optional<BestLevel> book_best_bid(const OrderBook& self) { return self.best_bid(); }
std::optional<BestLevel> book_best_ask(const OrderBook& self) { return self.best_ask(); }
double book_buy_volume(const OrderBook& self) { return self.buy_volume(); }
double book_sell_volume(const OrderBook& self) { return self.sell_volume(); }
std::optional<double> book_spread(const OrderBook& self) { return self.spread(); }
RestingOrders book_buy_orders(const OrderBook& self) { return {&self, OrderType::Buy}; }
RestingOrders book_sell_orders(const OrderBook& self) { return {&self, OrderType::Sell}; }
double book_tick_size(const OrderBook& self) { return self.tick_size(); }
std::string book_summary(const OrderBook& self) { return self.summary(); }

constexpr Params<1> book_new{"OrderBook", "__new__", {"tick_size"}, 0};
constexpr Params<3> create_order_params{"OrderBook", "create_order", {"side", "price", "quantity"}};
constexpr Params<1> add_params{"OrderBook", "add", {"incoming_order"}};
constexpr Params<1> cancel_params{"OrderBook", "cancel", {"order_id"}};
constexpr Params<1> get_order_params{"OrderBook", "get_order", {"order_id"}};
constexpr Params<1> update_order_params{"OrderBook", "update_order", {"order"}};

PyMethodDef book_methods[] = {
    method_row<&book_create_order, create_order_params>(
        "create_order",
        "create_order(self, side, price, quantity)\n--\n\n"
        "Creates an order (but does not add to the book) based off the book's tick size."),
    method_row<&book_add, add_params>(
        "add", "add(self, incoming_order)\n--\n\nAdds an order to the book, attempting to match it with resting orders."),
    method_row<&book_cancel, cancel_params>("cancel", "cancel(self, order_id)\n--\n\nCancels an order by its ID."),
    method_row<&book_get_order, get_order_params>(
        "get_order",
        "get_order(self, order_id)\n--\n\nRetrieves an order by its ID. Returns None if the order is not found."),
    method_row<&book_update_order, update_order_params>(
        "update_order", "update_order($self, order)\n--\n\nHelper method to update an order in the `orders` map."),
    no_arguments_row<&book_best_bid>("best_bid", "best_bid($self)\n--\n\nHelper method to get best bid"),
    no_arguments_row<&book_best_ask>("best_ask", "best_ask($self)\n--\n\nHelper method to get best ask"),
    no_arguments_row<&book_buy_volume>("buy_volume",
                                       "buy_volume($self)\n--\n\nHelper method to calculate total buy volume"),
    no_arguments_row<&book_sell_volume>("sell_volume",
                                        "sell_volume($self)\n--\n\nHelper method to calculate total sell volume"),
    no_arguments_row<&book_spread>(
        "spread",
        "spread($self)\n--\n\nCalculate the current spread in the order book.\n"
        "Returns None if there are no orders on either side.\n"
        "The spread is returned in the same units as the prices (not ticks)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef book_properties[] = {
    property_row<&book_buy_orders>("buy_orders", "Get a list of all buy orders"),
    property_row<&book_sell_orders>("sell_orders", "Get a list of all sell orders"),
    property_row<&book_tick_size>("tick_size", "Return the tick size for informational purposes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot book_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&new_book, book_new>)},
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&book_summary>)},
    {Py_tp_methods, book_methods},
    {Py_tp_getset, book_properties},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<OrderBook>)},
    {0, nullptr},
};

}  // namespace

template <>
const ClassDefinition& Class<OrderBook>::definition() {
    static const ClassDefinition definition{"OrderBook", "(tick_size=0.01)",
                                "Represents the main order book for matching buy and sell orders.",
                                sizeof(Instance<OrderBook>), book_slots, {}};
    return definition;
}

}  // namespace varnholt::binding
