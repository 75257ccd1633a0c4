import math

import pytest

from varnholt import Fill, OrderStatus

from conftest import Clock, buy, filled, sell

NAN = float("nan")
INF = float("inf")


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


@pytest.mark.parametrize("values", [
    (5.0, 100.5, "b1", "s1", 42),
    (-3.0, -0.5, "", "", 0),
    (0.0, 0.0, "käufer-Ω", "売り", 2**64 - 1),
    (NAN, INF, "same", "same", 1),
    (1.0, 2.0, "b" * 37, "ß" * 1000, 3),
], ids=["plain", "negative", "unicode", "non-finite", "longer-than-an-id"])
def test_fill_record_keeps_its_values_unvalidated(values):
    fill = Fill(*values)
    quantity, price, buy_id, sell_id, timestamp = values
    assert same_float(fill.quantity, quantity) and type(fill.quantity) is float
    assert same_float(fill.price, price) and type(fill.price) is float
    assert fill.buy_id == buy_id and fill.sell_id == sell_id
    assert fill.timestamp == timestamp and type(fill.timestamp) is int


def test_fill_record_accepts_keywords_and_integer_numbers():
    fill = Fill(timestamp=True, sell_id="s", buy_id="b", price=3, quantity=2)
    assert (fill.quantity, fill.price, fill.buy_id, fill.sell_id, fill.timestamp) == \
        (2.0, 3.0, "b", "s", 1)


@pytest.mark.parametrize("quantity, price, text", [
    (5, 100.5, "[5.00 @ 100.50]"),
    (0.125, -0.0, "[0.12 @ -0.00]"),
    (0.375, 2.675, "[0.38 @ 2.67]"),
    (1.005, -0.001, "[1.00 @ -0.00]"),
    (1e21, 0.5, "[1000000000000000000000.00 @ 0.50]"),
    (NAN, INF, "[NaN @ inf]"),
    (-INF, -2.5, "[-inf @ -2.50]"),
])
def test_fill_text_form_rounds_to_two_decimals_half_to_even(quantity, price, text):
    fill = Fill(quantity, price, "b1", "s1", 42)
    assert repr(fill) == text + " Buy: b1, Sell: s1, Filled at 42"
    assert str(fill) == repr(fill)


def test_fill_text_form_with_empty_ids_and_largest_timestamp():
    assert repr(Fill(0.125, -0.0, "", "", 0)) == "[0.12 @ -0.00] Buy: , Sell: , Filled at 0"
    assert repr(Fill(1, 1, "B", "S", 2**64 - 1)) == \
        "[1.00 @ 1.00] Buy: B, Sell: S, Filled at 18446744073709551615"


def test_buy_receiver_fills_at_its_own_price_and_both_orders_shrink():
    resting_buy, incoming_sell = buy(100, 10.0), sell(99, 4.0)
    with Clock() as clock:
        fill = resting_buy.fill(incoming_sell, 0.01)
    assert type(fill) is Fill
    assert fill.quantity == 4.0
    assert fill.price == 100 * 0.01
    assert fill.buy_id == resting_buy.id and fill.sell_id == incoming_sell.id
    assert fill.timestamp in clock
    assert (resting_buy.quantity, resting_buy.status) == (6.0, OrderStatus.Open)
    assert (incoming_sell.quantity, incoming_sell.status) == (0.0, OrderStatus.Filled)


def test_sell_receiver_fills_at_its_own_price_with_the_same_quantities():
    resting_sell, incoming_buy = sell(99, 4.0), buy(100, 10.0)
    fill = resting_sell.fill(incoming=incoming_buy, tick_size=0.01)
    assert fill.price == 99 * 0.01
    assert fill.quantity == 4.0
    assert fill.buy_id == incoming_buy.id and fill.sell_id == resting_sell.id
    assert (incoming_buy.quantity, incoming_buy.status) == (6.0, OrderStatus.Open)
    assert (resting_sell.quantity, resting_sell.status) == (0.0, OrderStatus.Filled)


@pytest.mark.parametrize("price_in_ticks, tick_size, price", [
    (10050, 0.01, 100.5),
    (57, 0.01, 57 * 0.01),
    (7, 0.0, 0.0),
    (7, -0.5, -3.5),
    (3, 2, 6.0),
    (2**63 - 1, 1.0, float(2**63)),
])
def test_fill_price_is_the_receivers_ticks_times_the_tick_size(price_in_ticks, tick_size, price):
    fill = sell(price_in_ticks, 1.0).fill(buy(2**63 - 1, 1.0), tick_size)
    assert fill.price == price


def test_equal_quantities_fill_both_orders_completely():
    a, b = sell(100, 5.0), buy(100, 5.0)
    fill = a.fill(b, 0.01)
    assert fill.quantity == 5.0
    for order in (a, b):
        assert (order.quantity, order.status) == (0.0, OrderStatus.Filled)
        assert order.is_open() is False


@pytest.mark.parametrize("a, b", [
    (lambda: buy(100), lambda: buy(100)),
    (lambda: sell(100), lambda: sell(50)),
    (lambda: buy(99), lambda: sell(100)),
    (lambda: sell(100), lambda: buy(99)),
], ids=["two-buys", "two-sells", "buy-below-sell", "sell-above-buy"])
def test_orders_that_cannot_match_give_no_fill_and_stay_as_they_were(a, b):
    first, second = a(), b()
    assert first.fill(second, 0.01) is None
    for order in (first, second):
        assert (order.quantity, order.status) == (1.0, OrderStatus.Open)


@pytest.mark.parametrize("used_up_is_receiver", [True, False])
def test_an_order_already_filled_to_zero_still_yields_an_empty_fill(used_up_is_receiver):
    used_up, open_order = filled(sell(100, 2.0)), buy(100, 3.0)
    a, b = (used_up, open_order) if used_up_is_receiver else (open_order, used_up)
    fill = a.fill(b, 0.01)
    assert fill.quantity == 0.0
    assert (open_order.quantity, open_order.status) == (3.0, OrderStatus.Open)
    assert (used_up.quantity, used_up.status) == (0.0, OrderStatus.Filled)


@pytest.mark.parametrize("receiver_quantity, incoming_quantity, fill_quantity, "
                         "receiver_after, incoming_after", [
    (NAN, 3.0, 3.0, (NAN, "open"), (0.0, "filled")),
    (3.0, NAN, 3.0, (0.0, "filled"), (NAN, "open")),
    (NAN, NAN, NAN, (NAN, "open"), (NAN, "open")),
    (INF, 2.0, 2.0, (INF, "open"), (0.0, "filled")),
    (INF, INF, INF, (NAN, "open"), (NAN, "open")),
])
def test_filling_with_non_finite_quantities(receiver_quantity, incoming_quantity, fill_quantity,
                                            receiver_after, incoming_after):
    receiver, incoming = buy(100, receiver_quantity), sell(100, incoming_quantity)
    fill = receiver.fill(incoming, 0.01)
    assert same_float(fill.quantity, fill_quantity)
    for order, (quantity, state) in ((receiver, receiver_after), (incoming, incoming_after)):
        assert same_float(order.quantity, quantity)
        assert order.is_open() is (state == "open")


def test_a_tiny_remainder_keeps_an_order_open():
    larger, smaller = sell(100, 0.1 + 0.2), buy(100, 0.3)
    fill = smaller.fill(larger, 0.01)
    assert fill.quantity == 0.3
    assert larger.quantity == (0.1 + 0.2) - 0.3 and larger.quantity > 0
    assert larger.status == OrderStatus.Open
    assert smaller.status == OrderStatus.Filled
