"""The varnholt book that replays the events, and the layouts of its batch records.

Every event kind, status and layout comes from ``varnholt.OrderBook``; this
module only gathers them for the readers.  Feeds are replayed with the feed
verbs (post, execute, reduce, replace, cancel) in the feed layout, whose
``timestamp`` is the market's clock: the book mirrors what the exchange did
and never matches.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from varnholt import OrderBook, OrderType

TICK_SIZE = 0.0001
"""Tick size of every replay book: both formats give prices in 1/10000 units."""

BUY, SELL = int(OrderType.Buy), int(OrderType.Sell)
POST, EXECUTE, REDUCE, REPLACE, CANCEL = (OrderBook.POST, OrderBook.EXECUTE, OrderBook.REDUCE,
                                          OrderBook.REPLACE, OrderBook.CANCEL)
APPLIED, REJECTED, UNKNOWN_REF = OrderBook.APPLIED, OrderBook.REJECTED, OrderBook.UNKNOWN_REF
NO_REF: int = OrderBook.NO_REF

STAND_IN_BASE = 1 << 62
"""Refs from here up belong to stand-ins: orders the book holds for volume a
LOBSTER file shows but never added (orders from before the file, or entered
while their level was out of its window).  The file's own ids are below."""


class Layouts(NamedTuple):
    """The record dtypes of ``OrderBook.replay``."""

    event: np.dtype
    result: np.dtype
    fill: np.dtype
    level: np.dtype


_LAYOUTS = Layouts(np.dtype(OrderBook.FEED_EVENT_FIELDS), np.dtype(OrderBook.EVENT_RESULT_FIELDS),
                   np.dtype(OrderBook.FILL_FIELDS), np.dtype(OrderBook.LEVEL_FIELDS))


def layouts() -> Layouts:
    """The record layouts of ``OrderBook.replay`` (events in the feed layout)."""
    return _LAYOUTS


def new_book(tick_size: float = TICK_SIZE) -> OrderBook:
    """An empty ``varnholt.OrderBook``."""
    return OrderBook(tick_size)


def empty_events(count: int) -> np.ndarray:
    """A zeroed feed-event array of ``count`` records."""
    return np.zeros(count, dtype=_LAYOUTS.event)


def make_events(kind: np.ndarray | int, side: np.ndarray | int, price: np.ndarray | int,
                quantity: np.ndarray | float, ref: np.ndarray | int, timestamp: np.ndarray | int = 0,
                new_ref: np.ndarray | int = NO_REF, count: int | None = None) -> np.ndarray:
    """A feed-event array from its columns (arrays or scalars to broadcast)."""
    columns = (kind, side, price, quantity, ref, timestamp, new_ref)
    if count is None:
        count = next(len(c) for c in columns if isinstance(c, np.ndarray))
    events = empty_events(count)
    for name, column in zip(("kind", "side", "price_in_ticks", "quantity", "ref", "timestamp", "new_ref"), columns):
        events[name] = column
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
