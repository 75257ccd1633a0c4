"""Shared helpers for the varnholt test suite."""

import struct
import time

import pytest

import varnholt
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


def same_id(order, side=None, price_in_ticks=None, quantity=None, status=None):
    """An order with `order`'s id and other values, made through its saved state (the only way to
    give an order an id of one's own). The layout: header (5 bytes), id (36), side, status (u8),
    price_in_ticks (i64), quantity (f64), timestamp (u64)."""
    state = bytearray(order.__reduce__()[1][0])
    for value, offset, form in ((side, 41, "<B"), (status, 42, "<B"), (price_in_ticks, 43, "<q"),
                                (quantity, 51, "<d")):
        if value is not None:
            struct.pack_into(form, state, offset, int(value) if form == "<B" else value)
    return varnholt._restore(bytes(state))


def view(order):
    """An order as (id, side, price_in_ticks, quantity, status, timestamp)."""
    return (order.id, int(order.side), order.price_in_ticks, order.quantity,
            int(order.status), order.timestamp)


def levels(orders):
    """Resting orders reduced to (id, price_in_ticks, quantity), in listing order."""
    return [(o.id, o.price_in_ticks, o.quantity) for o in orders]


def book_state(book):
    return (levels(book.buy_orders), levels(book.sell_orders))


def saved_book(entries, bids, asks, tick=0.01, version=1, self_trade=0):
    """A book's saved state as its documented layout describes it. Entries are (recorded, id,
    side, status, price_in_ticks, quantity, timestamp[, owner]); each side is a list of levels
    (price_in_ticks, [(entry number, quantity, timestamp, ref), ...]). Version 2 adds the
    self-trade policy after the tick size and an owner after each entry's recorded flag."""
    state = struct.pack("<IBd", version, 3, tick)
    state += struct.pack("<B", self_trade) if version >= 2 else b""
    state += struct.pack("<Q", len(entries))
    for recorded, oid, side, status, price, quantity, timestamp, *owner in entries:
        state += struct.pack("<B", recorded) + (struct.pack("<I", *(owner or [0])) if version >= 2 else b"")
        state += struct.pack("<36sBBqdQ", oid.encode(), side, status, price, quantity, timestamp)
    for levels in (bids, asks):
        state += struct.pack("<Q", len(levels))
        for price, copies in levels:
            state += struct.pack("<qQ", price, len(copies))
            for entry, quantity, timestamp, ref in copies:
                state += struct.pack("<IdQQ", entry, quantity, timestamp, ref)
    return state


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


def pytest_addoption(parser):
    parser.addoption("--real-data-full", action="store_true", default=False,
                     help="verify the whole real LOBSTER sample files, not their first 20,000 messages")
