import math

import pytest

from varnholt import Order, OrderBook, OrderStatus, OrderType

from conftest import Clock, book_state, buy, sell

LARGEST_TICKS = 2**63 - 1
NAN = float("nan")
INF = float("inf")


def is_negative_zero(value):
    return value == 0.0 and math.copysign(1.0, value) == -1.0


def book_with(tick_size=0.01, bids=(), asks=()):
    """A book holding resting (price_in_ticks, quantity) bids and asks, added in the given order."""
    book = OrderBook(tick_size)
    for price, quantity in bids:
        book.add(buy(price, quantity))
    for price, quantity in asks:
        book.add(sell(price, quantity))
    return book


# --- order creation ----------------------------------------------------------------------------

@pytest.mark.parametrize("price, tick_size, price_in_ticks", [
    (100.5, 0.01, 10050),
    (0.3, 0.1, 3),  # quotient 2.9999999999999996
    (0.005, 0.01, 1),  # quotient 0.5: halves round away from zero
    (2.5, 1.0, 3),
    (3.5, 1.0, 4),
    (1.4999999999999998, 1.0, 1),
    (1, 0.01, 100),
    (9223372036854774784.0, 1.0, 9223372036854774784),
    (float(2**63), 1.0, LARGEST_TICKS),
    (1e300, 0.01, LARGEST_TICKS),
    (INF, 0.01, LARGEST_TICKS),
    (1.0, 0.0, LARGEST_TICKS),
])
def test_create_order_converts_the_price_to_ticks(price, tick_size, price_in_ticks):
    order = OrderBook(tick_size).create_order(OrderType.Sell, price, 2.0)
    assert type(order) is Order
    assert order.price_in_ticks == price_in_ticks


@pytest.mark.parametrize("price, tick_size", [
    (0.004999, 0.01),
    (0.49999999999999994, 1.0),  # must not round up to 1
    (NAN, 0.01),
    (1.0, NAN),
    (1.0, -0.01),
    (1.0, -0.0),
])
def test_create_order_refuses_a_price_below_one_tick(price, tick_size):
    with pytest.raises(ValueError) as caught:
        OrderBook(tick_size).create_order(OrderType.Buy, price, 1.0)
    assert caught.value.args == ("Resulting price_in_ticks must be positive",)


@pytest.mark.parametrize("price, quantity, message", [
    (0.0, 1.0, "Price and quantity must be positive"),
    (-1.0, 1.0, "Price and quantity must be positive"),
    (-0.0, 1.0, "Price and quantity must be positive"),
    (1.0, 0.0, "Price and quantity must be positive"),
    (1.0, -2.0, "Price and quantity must be positive"),
    (1.0, -INF, "Price and quantity must be positive"),
    (0.0, NAN, "Price and quantity must be positive"),
    (1.0, NAN, "quantity must be a finite number"),
    (1.0, INF, "quantity must be a finite number"),
    (NAN, INF, "quantity must be a finite number"),
    (0.001, NAN, "quantity must be a finite number"),
    (-1.0, 0.0, "Price and quantity must be positive"),
])
def test_create_order_checks_signs_before_finiteness(price, quantity, message):
    with pytest.raises(ValueError) as caught:
        OrderBook().create_order(OrderType.Sell, price, quantity)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


def test_created_order_is_new_and_not_in_the_book():
    book = book_with(bids=[(100, 1.0)], asks=[(101, 1.0)])
    before = book_state(book)
    with Clock() as clock:
        order = book.create_order(quantity=3, price=1.01, side=OrderType.Buy)
    assert (order.side, order.price_in_ticks, order.quantity) == (OrderType.Buy, 101, 3.0)
    assert order.status == OrderStatus.Open
    assert order.timestamp in clock
    assert order.id != book.create_order(OrderType.Buy, 1.01, 3).id
    assert book_state(book) == before
    assert book.get_order(order.id) is None
    assert book.best_bid() == (100, 1.0)


# --- best levels, volumes, spread --------------------------------------------------------------

def test_empty_book_has_no_levels_no_spread_and_negative_zero_volumes():
    book = OrderBook()
    assert book.best_bid() is None and book.best_ask() is None and book.spread() is None
    assert is_negative_zero(book.buy_volume()) and is_negative_zero(book.sell_volume())
    assert repr(book.buy_volume()) == "-0.0"


def test_one_sided_book_reports_only_that_side():
    book = book_with(bids=[(99, 2.0), (101, 1.5), (100, 4.0)])
    assert book.best_bid() == (101, 1.5)
    assert book.best_ask() is None and book.spread() is None
    assert book.buy_volume() == 7.5
    assert is_negative_zero(book.sell_volume())


def test_best_level_shows_the_front_order_and_volume_counts_all():
    book = book_with(bids=[(100, 5.0), (100, 3.0)], asks=[(105, 2.0), (104, 0.5), (104, 9.0)])
    best_bid, best_ask = book.best_bid(), book.best_ask()
    assert best_bid == (100, 5.0) and best_ask == (104, 0.5)
    assert type(best_bid) is tuple and type(best_bid[0]) is int and type(best_bid[1]) is float
    assert book.buy_volume() == 8.0 and book.sell_volume() == 11.5


def test_best_level_shows_the_remainder_of_a_partly_filled_front_order():
    book = book_with(asks=[(100, 5.0), (100, 3.0)])
    book.add(buy(100, 2.0))
    assert book.best_ask() == (100, 3.0)
    assert book.sell_volume() == 6.0


def test_volumes_add_from_lowest_price_front_to_back():
    # 1e16 + 1 rounds back to 1e16, so the order of addition shows in the total
    book = book_with(bids=[(90, 1e16), (95, 1.0), (95, 1.0)],
                     asks=[(100, 1.0), (101, 1.0), (110, 1e16)])
    assert book.buy_volume() == 1e16
    assert book.sell_volume() == 1e16 + 2.0
    same_level = book_with(bids=[(95, 1e16), (95, 1.0), (95, 1.0)])
    assert same_level.buy_volume() == 1e16


def test_volumes_after_changes_are_the_sums_of_the_orders_as_listed():
    # A total asked again after a change is worked out again from where the change was: it must
    # still be the sum of every order in the listings' order from -0.0, bit for bit.
    quantities = [0.1, 0.2, 0.7, 0.1 + 0.2, 1e16, 1.0, 0.3]
    orders = [Order(OrderType.Buy if i % 2 else OrderType.Sell, (60 if i % 2 else 100) + i % 7 * 2,
                    quantities[i % len(quantities)]) for i in range(60)]
    book = OrderBook(0.01)
    for order in orders:
        book.add(order)
    changes = [lambda o: book.cancel(o.id), lambda o: book.amend(o.id, quantity=o.quantity / 2),
               lambda o: book.add(Order(o.side, o.price_in_ticks + 1, 0.1))]
    for step, order in enumerate(orders[::3]):
        changes[step % 3](order)
        for listed, total in ((book.buy_orders, book.buy_volume()), (book.sell_orders, book.sell_volume())):
            want = -0.0
            for resting in listed:
                want += resting.quantity
            assert math.copysign(1.0, total) == math.copysign(1.0, want) and total == want, step


@pytest.mark.parametrize("tick_size, bid, ask, spread", [
    (0.01, 10050, 10051, 0.01),  # one tick, not 100.51 - 100.50
    (0.01, 10050, 10100, 0.5),
    (1.0, 1, LARGEST_TICKS, float(2**63 - 2)),
    (-1.0, 100, 101, -1.0),
    (0.0, 100, 101, 0.0),
])
def test_spread_is_the_tick_difference_times_the_tick_size(tick_size, bid, ask, spread):
    book = book_with(tick_size, bids=[(bid, 1.0)], asks=[(ask, 1.0)])
    assert book.spread() == spread and type(book.spread()) is float


# --- summary text ------------------------------------------------------------------------------

@pytest.mark.parametrize("book, text", [
    (lambda: book_with(bids=[(10050, 5.0), (10050, 3.0)], asks=[(10100, 2.5), (10200, 4.0)]),
     "Best Bid: 5.00 @ 100.5, Best Ask: 2.50 @ 101 (Spread: 0.5000)\n"
     "Open Buy Volume: 8.00, Open Sell Volume: 6.50"),
    (lambda: book_with(bids=[(10050, 5.0), (10050, 3.0)]),
     "Best Bid: 5.00 @ 100.5, Best Ask: None (Spread: None)\n"
     "Open Buy Volume: 8.00, Open Sell Volume: -0.00"),
    (lambda: book_with(asks=[(10001, 0.375), (10001, 1.0)]),
     "Best Bid: None, Best Ask: 0.38 @ 100.01 (Spread: None)\n"
     "Open Buy Volume: -0.00, Open Sell Volume: 1.38"),
    (lambda: OrderBook(),
     "Best Bid: None, Best Ask: None (Spread: None)\n"
     "Open Buy Volume: -0.00, Open Sell Volume: -0.00"),
    (lambda: book_with(bids=[(57, 0.125)], asks=[(58, 1e21)]),
     "Best Bid: 0.12 @ 0.5700000000000001, Best Ask: 1000000000000000000000.00 @ 0.58 "
     "(Spread: 0.0100)\nOpen Buy Volume: 0.12, Open Sell Volume: 1000000000000000000000.00"),
    (lambda: book_with(1.0, bids=[(100, 1.0)], asks=[(LARGEST_TICKS, 2.0)]),
     "Best Bid: 1.00 @ 100, Best Ask: 2.00 @ 9223372036854776000 "
     "(Spread: 9223372036854775808.0000)\nOpen Buy Volume: 1.00, Open Sell Volume: 2.00"),
    (lambda: book_with(1 / 32, bids=[(100, 1.0)], asks=[(101, 1.0)]),
     "Best Bid: 1.00 @ 3.125, Best Ask: 1.00 @ 3.15625 (Spread: 0.0312)\n"
     "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (lambda: book_with(3 / 32, bids=[(1, 1.0)], asks=[(2, 1.0)]),
     "Best Bid: 1.00 @ 0.09375, Best Ask: 1.00 @ 0.1875 (Spread: 0.0938)\n"
     "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (lambda: book_with(1e-9, bids=[(1, 1.0)], asks=[(3, 1.0)]),
     "Best Bid: 1.00 @ 0.000000001, Best Ask: 1.00 @ 0.0000000030000000000000004 "
     "(Spread: 0.0000)\n"
     "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (lambda: book_with(-1.0, bids=[(100, 1.0)], asks=[(101, 1.0)]),
     "Best Bid: 1.00 @ -100, Best Ask: 1.00 @ -101 (Spread: -1.0000)\n"
     "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (lambda: book_with(0.0, bids=[(100, 1.0)], asks=[(101, 1.0)]),
     "Best Bid: 1.00 @ 0, Best Ask: 1.00 @ 0 (Spread: 0.0000)\n"
     "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (lambda: book_with(bids=[(1, 1.7e308), (2, 1.7e308)]),
     # the quantity shows the exact binary value of 1.7e308, which Python's own
     # fixed-point formatting also gives
     f"Best Bid: {1.7e308:.2f} @ 0.02, Best Ask: None (Spread: None)\n"
     "Open Buy Volume: inf, Open Sell Volume: -0.00"),
], ids=["both-sides", "bids-only", "asks-only", "empty", "rounding", "large-price", "tie-even-down",
        "tie-even-up", "tiny-tick", "negative-tick", "zero-tick", "infinite-volume"])
def test_summary_text(book, text):
    book = book()
    assert repr(book) == text
    assert str(book) == text
    assert repr(book).count("\n") == 1
