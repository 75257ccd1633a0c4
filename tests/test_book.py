import math

import pytest

from varnholt import Fill, OrderBook, OrderStatus

from conftest import Clock, book_state, buy, filled, levels, sell, view


def fills_of(fills):
    """Fills reduced to (quantity, price, buy_id, sell_id)."""
    assert type(fills) is list and all(type(f) is Fill for f in fills)
    return [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]


def registered(book, order):
    """(quantity, status) the registry holds for the order's id."""
    found = book.get_order(order.id)
    return (found.quantity, found.status)


# --- state and registry ----------------------------------------------------------------------

def test_new_book_is_empty():
    book = OrderBook()
    assert book.buy_orders == [] and book.sell_orders == []
    assert book.get_order("anything") is None
    assert book.tick_size == 0.01 and type(book.tick_size) is float


@pytest.mark.parametrize("make, tick_size", [
    (lambda: OrderBook(0.5), 0.5),
    (lambda: OrderBook(tick_size=0.5), 0.5),
    (lambda: OrderBook(0.0), 0.0),
    (lambda: OrderBook(-1.0), -1.0),
    (lambda: OrderBook(float("inf")), float("inf")),
    (lambda: OrderBook(1), 1.0),
    (lambda: OrderBook(float("nan")), float("nan")),
])
def test_tick_size_is_stored_as_given(make, tick_size):
    book = make()
    assert type(book.tick_size) is float
    assert book.tick_size == tick_size or math.isnan(tick_size) and math.isnan(book.tick_size)


def test_get_order_returns_a_fresh_copy_each_time(book):
    order = buy(100, 5.0)
    book.add(order)
    first, second = book.get_order(order.id), book.get_order(order_id=order.id)
    assert first is not second and first is not order
    assert view(first) == view(second) == view(order)
    first.fill(sell(100, 5.0), 0.01)
    assert registered(book, order) == (5.0, OrderStatus.Open)


@pytest.mark.parametrize("change", [str.upper, lambda text: f" {text} ", lambda text: text[:-1]])
def test_get_order_needs_the_exact_id_text(book, change):
    order = buy(100)
    book.add(order)
    assert book.get_order(change(order.id)) is None


def test_update_order_registers_without_resting(book):
    order = buy(100, 2.0)
    assert book.update_order(order) is None
    assert view(book.get_order(order.id)) == view(order)
    assert book_state(book) == ([], [])
    assert book.best_bid() is None


def test_update_order_replaces_the_registry_value_but_not_the_resting_copy(book):
    order = buy(100, 5.0)
    book.add(order)
    order.fill(sell(100, 2.0), 0.01)
    book.update_order(order=order)
    assert registered(book, order) == (3.0, OrderStatus.Open)
    assert levels(book.buy_orders) == [(order.id, 100, 5.0)]
    assert book.best_bid() == (100, 5.0)


def test_order_lists_run_from_lowest_price_and_keep_arrival_order_within_a_level(book):
    b1, b2, b3 = buy(101), buy(99), buy(101)
    s1, s2, s3 = sell(105), sell(102), sell(105)
    for order in (b1, b2, b3, s1, s2, s3):
        book.add(order)
    assert [o.id for o in book.buy_orders] == [b2.id, b1.id, b3.id]
    assert [o.id for o in book.sell_orders] == [s2.id, s1.id, s3.id]
    assert all(o.status == OrderStatus.Open for o in book.buy_orders + book.sell_orders)


def test_order_lists_are_new_lists_of_new_objects(book):
    book.add(buy(100))
    first, second = book.buy_orders, book.buy_orders
    assert first is not second and first[0] is not second[0]
    first[0].fill(sell(100), 0.01)
    assert book.buy_orders[0].quantity == 1.0


# --- matching ----------------------------------------------------------------------------------

def test_buy_sweeps_a_cheaper_sell_and_rests_the_remainder(book):
    resting, incoming = sell(100, 3.0), buy(101, 5.0)
    book.add(resting)
    fills = book.add(incoming_order=incoming)
    assert fills_of(fills) == [(3.0, 100 * 0.01, incoming.id, resting.id)]
    assert book.sell_orders == []
    assert registered(book, resting) == (0.0, OrderStatus.Filled)
    assert levels(book.buy_orders) == [(incoming.id, 101, 2.0)]
    assert registered(book, incoming) == (2.0, OrderStatus.Open)


def test_partly_filled_resting_order_keeps_its_place(book):
    first, second = sell(100, 10.0), sell(100, 10.0)
    book.add(first)
    book.add(second)
    small = buy(100, 4.0)
    assert fills_of(book.add(small)) == [(4.0, 1.0, small.id, first.id)]
    assert levels(book.sell_orders) == [(first.id, 100, 6.0), (second.id, 100, 10.0)]
    assert registered(book, first) == (6.0, OrderStatus.Open)
    assert registered(book, small) == (0.0, OrderStatus.Filled)
    assert book.buy_orders == []
    larger = buy(100, 7.0)
    assert [f[0] for f in fills_of(book.add(larger))] == [6.0, 1.0]
    assert levels(book.sell_orders) == [(second.id, 100, 9.0)]


def test_buy_takes_cheapest_levels_first_and_stops_at_its_limit(book):
    at_100, at_101, at_102 = sell(100, 2.0), sell(101, 2.0), sell(102, 2.0)
    for order in (at_102, at_101, at_100):
        book.add(order)
    incoming = buy(101, 5.0)
    assert fills_of(book.add(incoming)) == [
        (2.0, 100 * 0.01, incoming.id, at_100.id),
        (2.0, 101 * 0.01, incoming.id, at_101.id),
    ]
    assert levels(book.buy_orders) == [(incoming.id, 101, 1.0)]
    assert levels(book.sell_orders) == [(at_102.id, 102, 2.0)]


def test_sell_takes_highest_bids_first_at_each_resting_price(book):
    at_101, at_100 = buy(101, 1.0), buy(100, 1.0)
    book.add(at_100)
    book.add(at_101)
    incoming = sell(99, 2.0)
    assert fills_of(book.add(incoming)) == [
        (1.0, 101 * 0.01, at_101.id, incoming.id),
        (1.0, 100 * 0.01, at_100.id, incoming.id),
    ]
    assert book_state(book) == ([], [])
    assert registered(book, incoming) == (0.0, OrderStatus.Filled)


def test_sell_leaves_bids_below_its_limit_alone(book):
    low, high = buy(99), buy(101)
    book.add(low)
    book.add(high)
    incoming = sell(100)
    assert fills_of(book.add(incoming)) == [(1.0, 101 * 0.01, high.id, incoming.id)]
    above = sell(102)
    assert book.add(above) == []
    assert levels(book.buy_orders) == [(low.id, 99, 1.0)]
    assert levels(book.sell_orders) == [(above.id, 102, 1.0)]


def test_time_priority_follows_arrival_at_the_book_not_the_timestamp(book):
    older, newer = sell(100), sell(100)
    assert older.timestamp <= newer.timestamp
    book.add(newer)
    book.add(older)
    incoming = buy(100)
    assert fills_of(book.add(incoming))[0][3] == newer.id
    assert levels(book.sell_orders) == [(older.id, 100, 1.0)]


def test_equal_quantities_close_both_orders_and_the_level(book):
    resting, incoming = sell(100, 5.0), buy(100, 5.0)
    book.add(resting)
    assert [f[0] for f in fills_of(book.add(incoming))] == [5.0]
    assert book_state(book) == ([], [])
    assert book.best_ask() is None
    assert registered(book, resting) == (0.0, OrderStatus.Filled)
    assert registered(book, incoming) == (0.0, OrderStatus.Filled)


def test_an_order_that_arrives_filled_is_only_recorded(book):
    book.add(buy(100, 3.0))
    used_up = filled(sell(100, 3.0))
    assert book.add(used_up) == []
    assert levels(book.buy_orders)[0][2] == 3.0
    assert book.sell_orders == []
    assert registered(book, used_up) == (0.0, OrderStatus.Filled)


def test_the_callers_order_is_never_changed_by_the_book(book):
    book.add(sell(100, 5.0))
    incoming = buy(100, 5.0)
    before = view(incoming)
    book.add(incoming)
    assert view(incoming) == before
    assert incoming.is_open()


def test_the_same_order_added_twice_rests_twice_under_one_registry_entry(book):
    order = buy(100, 2.0)
    book.add(order)
    book.add(order)
    assert levels(book.buy_orders) == [(order.id, 100, 2.0), (order.id, 100, 2.0)]
    assert book.buy_volume() == 4.0
    assert book.cancel(order.id) is True
    assert book_state(book) == ([], [])


def test_the_fill_timestamp_is_taken_during_the_add(book):
    book.add(sell(100))
    with Clock() as clock:
        fills = book.add(buy(100))
    assert fills[0].timestamp in clock


@pytest.mark.parametrize("quantity", [float("nan"), float("inf")])
@pytest.mark.parametrize("make, crossing_price", [(buy, 120), (sell, 80)])
def test_non_finite_quantity_is_refused_before_anything_changes(book, make, crossing_price,
                                                                quantity):
    resting_bid, resting_ask = buy(90, 2.0), sell(110, 3.0)
    book.add(resting_bid)
    book.add(resting_ask)
    before = book_state(book)
    incoming = make(crossing_price, quantity)
    with pytest.raises(ValueError) as caught:
        book.add(incoming)
    assert caught.value.args == ("quantity must be a finite number",)
    assert book_state(book) == before
    assert book.get_order(incoming.id) is None
    assert registered(book, resting_bid) == (2.0, OrderStatus.Open)
    assert registered(book, resting_ask) == (3.0, OrderStatus.Open)
    assert book.add(make(100, 1.0)) == []  # the book is still usable


# --- cancellation ------------------------------------------------------------------------------

def test_cancelling_a_resting_order_removes_it_everywhere(book):
    order, other = buy(100), buy(100)
    book.add(order)
    book.add(other)
    assert book.cancel(order.id) is True
    assert levels(book.buy_orders) == [(other.id, 100, 1.0)]
    assert book.get_order(order.id) is None
    assert book.cancel(order_id=order.id) is False


def test_cancelling_from_the_middle_keeps_the_queue_order(book):
    a, b, c = sell(100, 1.0), sell(100, 2.0), sell(100, 3.0)
    for order in (a, b, c):
        book.add(order)
    book.cancel(b.id)
    assert [o.id for o in book.sell_orders] == [a.id, c.id]
    incoming = buy(100, 1.0)
    assert fills_of(book.add(incoming)) == [(1.0, 1.0, incoming.id, a.id)]


@pytest.mark.parametrize("make, near, far, best", [
    (buy, 100, 90, "best_bid"),
    (sell, 100, 110, "best_ask"),
])
def test_cancelling_the_last_order_of_a_level_removes_the_level(book, make, near, far, best):
    near_order, far_order = make(near), make(far)
    book.add(near_order)
    book.add(far_order)
    book.cancel(near_order.id)
    assert getattr(book, best)() == (far, 1.0)
    book.cancel(far_order.id)
    assert getattr(book, best)() is None


@pytest.mark.parametrize("unknown", [lambda known: "", lambda known: "no-such-order", str.upper],
                         ids=["empty", "never-seen", "other-case"])
def test_cancelling_an_unknown_id_changes_nothing(book, unknown):
    order = sell(100)
    book.add(order)
    before = book_state(book)
    assert book.cancel(unknown(order.id)) is False
    assert book_state(book) == before
    assert book.get_order(order.id) is not None


def test_cancelling_a_filled_order_only_forgets_it(book):
    resting, other = sell(100, 1.0), sell(100, 1.0)
    book.add(resting)
    book.add(other)
    incoming = buy(100, 1.0)
    book.add(incoming)
    before = book_state(book)
    assert book.cancel(incoming.id) is True
    assert book.get_order(incoming.id) is None
    assert book_state(book) == before
    assert book.cancel(resting.id) is True
    assert book_state(book) == before


def test_cancelling_a_registered_but_never_resting_order_leaves_its_level_alone(book):
    resting, only_registered = buy(100), buy(100)
    book.add(resting)
    book.update_order(only_registered)
    assert book.cancel(only_registered.id) is True
    assert levels(book.buy_orders) == [(resting.id, 100, 1.0)]
