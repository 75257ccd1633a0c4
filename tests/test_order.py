import math
import re
from fractions import Fraction

import pytest

from varnholt import Order, OrderStatus, OrderType

from conftest import Clock, buy, filled, sell

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def test_new_order_carries_its_values_and_starts_open():
    with Clock() as clock:
        order = Order(OrderType.Sell, 10050, 2.5)
    assert order.side == OrderType.Sell
    assert order.price_in_ticks == 10050 and type(order.price_in_ticks) is int
    assert order.quantity == 2.5 and type(order.quantity) is float
    assert order.status == OrderStatus.Open
    assert order.is_open() is True
    assert type(order.timestamp) is int
    assert order.timestamp in clock


def test_keywords_may_be_given_in_any_order():
    order = Order(quantity=4, price_in_ticks=7, side=OrderType.Buy)
    assert (order.side, order.price_in_ticks, order.quantity) == (OrderType.Buy, 7, 4.0)


def test_order_ids_are_distinct_lowercase_version_4_uuids():
    ids = [buy(1).id for _ in range(200)]
    assert len(set(ids)) == len(ids)
    for order_id in ids:
        assert type(order_id) is str and len(order_id) == 36
        assert UUID4.match(order_id), order_id


@pytest.mark.parametrize("price_in_ticks, quantity", [
    (0, 1.0), (-5, 1.0), (-(2**63), 1.0),
    (0, 0.0),  # both wrong: the price is reported
    (-1, float("nan")),
])
def test_non_positive_price_is_refused(price_in_ticks, quantity):
    with pytest.raises(ValueError) as caught:
        Order(OrderType.Buy, price_in_ticks, quantity)
    assert type(caught.value) is ValueError
    assert caught.value.args == ("price_in_ticks must be positive",)


@pytest.mark.parametrize("quantity", [0.0, -0.0, -1.0, -1e-300, float("-inf"), 0, False])
def test_non_positive_quantity_is_refused(quantity):
    with pytest.raises(ValueError) as caught:
        Order(OrderType.Sell, 1, quantity)
    assert caught.value.args == ("quantity must be positive",)


@pytest.mark.parametrize("price_in_ticks, quantity", [
    (1, float("nan")),
    (1, float("inf")),
    (2**63 - 1, 1e-300),
    (1, 5e-324),
    (1, 1.7976931348623157e308),
])
def test_extreme_values_that_pass_the_sign_checks_are_accepted(price_in_ticks, quantity):
    order = Order(OrderType.Sell, price_in_ticks, quantity)
    assert order.price_in_ticks == price_in_ticks
    assert order.quantity == quantity or (math.isnan(quantity) and math.isnan(order.quantity))
    assert order.is_open()


@pytest.mark.parametrize("quantity, expected", [
    (3, 3.0), (True, 1.0), (Fraction(5, 2), 2.5), (2**53 + 1, 9007199254740992.0),
])
def test_quantity_is_taken_as_a_double(quantity, expected):
    assert Order(OrderType.Buy, 1, quantity).quantity == expected


@pytest.mark.parametrize("quantity, text", [
    (10.0, "10"),
    (2.5, "2.5"),
    (0.1, "0.1"),
    (0.1 + 0.2, "0.30000000000000004"),
    (1e21, "1000000000000000000000"),
    (1.2345678901234568e20, "123456789012345680000"),
    (1e-7, "0.0000001"),
    (5e-324, "0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (float("nan"), "NaN"),
    (float("inf"), "inf"),
], ids=lambda value: repr(value)[:24])
def test_text_form_prints_the_quantity_in_shortest_positional_form(quantity, text):
    order = Order(OrderType.Buy, 10050, quantity)
    assert repr(order) == f"[Buy {text} @ 10050] [{order.id}, placed at {order.timestamp}]"


def test_text_form_of_a_sell_and_its_string_form():
    order = Order(OrderType.Sell, 7, 2.5)
    assert repr(order).startswith("[Sell 2.5 @ 7] [")
    assert repr(order).endswith(f", placed at {order.timestamp}]")
    assert str(order) == repr(order)


def test_text_form_follows_the_remaining_quantity_and_omits_the_status():
    order = buy(100, 10.0)
    order.fill(sell(100, 4.0), 0.01)
    assert repr(order).startswith("[Buy 6 @ 100] [")
    filled(order)
    assert repr(order).startswith("[Buy 0 @ 100] [")
    assert "Filled" not in repr(order) and "Open" not in repr(order)


@pytest.mark.parametrize("first, second, expected", [
    ((buy, 100), (sell, 100), True),
    ((buy, 101), (sell, 100), True),
    ((buy, 99), (sell, 100), False),
    ((buy, 2**63 - 1), (sell, 1), True),
    ((buy, 1), (sell, 2**63 - 1), False),
    ((buy, 100), (buy, 100), False),
    ((sell, 5), (sell, 500), False),
])
def test_match_test_needs_opposite_sides_and_crossing_prices(first, second, expected):
    a = first[0](first[1])
    b = second[0](second[1])
    assert a.can_match(b) is expected
    assert b.can_match(a) is expected
    assert a.can_match(other=b) is expected


def test_match_test_ignores_quantities_and_statuses():
    a, b = filled(buy(100)), filled(sell(90))
    assert a.quantity == 0.0 and b.quantity == 0.0
    assert a.can_match(b) and b.can_match(a)


def test_an_order_cannot_match_itself():
    order = buy(100)
    assert order.can_match(order) is False


def test_open_test_follows_the_status_not_the_quantity():
    nan_order = buy(100, float("nan"))
    assert nan_order.is_open() is True
    used_up = filled(sell(100, 3.0))
    assert used_up.is_open() is False

