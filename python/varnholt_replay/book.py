"""The varnholt book that replays the events, and the layouts of its batch records."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from varnholt import OrderBook

TICK_SIZE = 0.0001
"""Tick size of every replay book: both formats give prices in 1/10000 units."""

ADD, CANCEL, AMEND, IMMEDIATE_OR_CANCEL, FILL_OR_KILL = range(5)
BUY, SELL = 0, 1
APPLIED, REJECTED, UNKNOWN_REF = range(3)

NO_REF: int = OrderBook.NO_REF
EXECUTION_REF = NO_REF - 1
"""Ref of the immediate-or-cancel orders that stand for executions of a
resting order.  They never rest, so they can all share it."""
STAND_IN_BASE = 1 << 46
"""Refs from here up belong to stand-ins for orders from before a LOBSTER
file starts (the file's own order ids must be below)."""


class Layouts(NamedTuple):
    """The record dtypes of ``OrderBook.replay``."""

    event: np.dtype
    result: np.dtype
    fill: np.dtype
    level: np.dtype


_LAYOUTS = Layouts(np.dtype(OrderBook.EVENT_FIELDS), np.dtype(OrderBook.EVENT_RESULT_FIELDS),
                   np.dtype(OrderBook.FILL_FIELDS), np.dtype(OrderBook.LEVEL_FIELDS))


def layouts() -> Layouts:
    """The record layouts of ``OrderBook.replay``."""
    return _LAYOUTS


def new_book(tick_size: float = TICK_SIZE) -> OrderBook:
    """An empty ``varnholt.OrderBook``."""
    return OrderBook(tick_size)


def empty_events(count: int) -> np.ndarray:
    """An uninitialised event array of ``count`` records."""
    return np.empty(count, dtype=_LAYOUTS.event)


def make_events(kind: np.ndarray | int, side: np.ndarray | int, price: np.ndarray | int,
                quantity: np.ndarray | float, ref: np.ndarray | int, count: int | None = None) -> np.ndarray:
    """An event array from its columns (arrays or scalars to broadcast)."""
    if count is None:
        count = next(len(c) for c in (kind, side, price, quantity, ref) if isinstance(c, np.ndarray))
    events = empty_events(count)
    events["kind"] = kind
    events["side"] = side
    events["price_in_ticks"] = price
    events["quantity"] = quantity
    events["ref"] = ref
    return events


def top_levels(book: OrderBook, depth: int) -> tuple[np.ndarray, np.ndarray]:
    """The top ``depth`` bid and ask levels of ``book`` as it is now, as replay's snapshots give
    them: ``depth`` records each, zeros where a side has fewer levels."""
    def levels(side: list[tuple[int, float, int]]) -> np.ndarray:
        out = np.zeros(depth, dtype=_LAYOUTS.level)
        if side:
            out[:len(side)] = side
        return out

    bids, asks = book.depth(depth)
    return levels(bids), levels(asks)
