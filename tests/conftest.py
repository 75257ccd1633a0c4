"""Shared helpers for the varnholt test suite."""

import time

import pytest

from varnholt import Order, OrderBook, OrderStatus, OrderType


def buy(price_in_ticks, quantity=1.0):
    return Order(OrderType.Buy, price_in_ticks, quantity)


def sell(price_in_ticks, quantity=1.0):
    return Order(OrderType.Sell, price_in_ticks, quantity)


def filled(order):
    """Uses up `order` with a crossing counter-order so that its status becomes Filled."""
    maker = sell if order.side == OrderType.Buy else buy
    order.fill(maker(order.price_in_ticks, order.quantity), 0.01)
    assert order.status == OrderStatus.Filled
    return order


def view(order):
    """An order as (id, side, price_in_ticks, quantity, status, timestamp)."""
    return (order.id, int(order.side), order.price_in_ticks, order.quantity,
            int(order.status), order.timestamp)


def levels(orders):
    """Resting orders reduced to (id, price_in_ticks, quantity), in listing order."""
    return [(o.id, o.price_in_ticks, o.quantity) for o in orders]


def book_state(book):
    return (levels(book.buy_orders), levels(book.sell_orders))


class Clock:
    """Wall-clock window in nanoseconds around a block of code."""

    def __enter__(self):
        self.before = time.time_ns()
        return self

    def __exit__(self, *exc):
        self.after = time.time_ns()

    def __contains__(self, timestamp):
        return self.before <= timestamp <= self.after


@pytest.fixture
def book():
    return OrderBook()
