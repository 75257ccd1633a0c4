"""Immediate orders at the exact edge of what the book holds. Quantities are doubles: asks of 0.1
and 0.2 hold 0.1 + 0.2 = 0.30000000000000004 (as volume_at sums them), while taking both from an
order of that quantity leaves 0.30000000000000004 - 0.1 - 0.2 = 2.8e-17 open by subtraction. An
immediate order is complete when the quantities its sweep trades, summed in the sweep's order,
reach its quantity: a fill-or-kill order then trades, and an immediate-or-cancel order is
recorded Filled."""
import math

import pytest

from conftest import book_state, buy, sell
from varnholt import OrderStatus, OrderType

# (asks as (price_in_ticks, quantity) in the order they rest, the buy's limit)
BOOKS = [
    ([(100, 0.1), (100, 0.2)], 100),  # one level
    ([(100, 0.1), (101, 0.2)], 101),  # two levels
    ([(100, 0.1), (100, 0.2), (101, 0.3)], 101),
]


def held(book, asks):
    total = 0.0
    for price in sorted({price for price, _ in asks}):
        total += book.volume_at(OrderType.Sell, price)[0]
    return total


@pytest.mark.parametrize("asks, limit", BOOKS)
@pytest.mark.parametrize("all_or_none", [True, False])
def test_an_immediate_order_for_all_the_book_holds_takes_it_and_is_filled(book, asks, limit, all_or_none):
    for price, quantity in asks:
        book.add(sell(price, quantity))
    incoming = buy(limit, held(book, asks))
    fills = book.take(incoming, all_or_none)
    assert [f.quantity for f in fills] == [quantity for _, quantity in asks]
    recorded = book.get_order(incoming.id)
    assert (recorded.status, recorded.quantity) == (OrderStatus.Filled, 0.0)
    assert book_state(book) == ([], [])


@pytest.mark.parametrize("asks, limit", BOOKS)
def test_an_immediate_order_for_more_than_the_book_holds(book, asks, limit):
    for price, quantity in asks:
        book.add(sell(price, quantity))
    wanted = math.nextafter(held(book, asks), math.inf)
    before = book_state(book)
    killed = buy(limit, wanted)
    assert book.take(killed, True) == []
    assert book_state(book) == before and book.get_order(killed.id) is None
    dropped = buy(limit, wanted)
    assert len(book.take(dropped)) == len(asks)
    recorded = book.get_order(dropped.id)
    assert recorded.status == OrderStatus.Canceled and recorded.quantity > 0.0


def test_a_limit_order_rests_what_subtraction_leaves(book):
    # add follows the order's own filling: what the subtractions leave open rests.
    book.add(sell(100, 0.1))
    book.add(sell(100, 0.2))
    incoming = buy(100, 0.1 + 0.2)
    assert len(book.add(incoming)) == 2
    assert book.best_bid() == (100, 0.1 + 0.2 - 0.1 - 0.2)
