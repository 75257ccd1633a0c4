"""The recorded market a backtest replays: a feed-event array, replayed once up front so that
every later question about it (which order an event named, where it stood, when the touch moved)
is an array look-up, and the LOBSTER loader that makes such an array from a message file."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
from varnholt import OrderBook

from .. import book as bk
from ..formats import lobster
from ..jobs import make_job

_ENTERS = np.zeros(256, dtype=bool)
_ENTERS[[OrderBook.POST, OrderBook.REPLACE]] = True
_ACTS = np.zeros(256, dtype=bool)
_ACTS[[OrderBook.EXECUTE, OrderBook.REDUCE, OrderBook.CANCEL, OrderBook.REPLACE]] = True
_FEED_KINDS = (OrderBook.POST, OrderBook.EXECUTE, OrderBook.REDUCE, OrderBook.CANCEL, OrderBook.REPLACE)


@dataclass(frozen=True)
class History:
    """A feed-event array and what one native replay of it says.

    ``entered[k]``: for an event acting on a resting order (execution, reduction, cancel,
    replacement), the index of the event that put that order where it stands (its post, or the
    replacement that last moved it to the back); -1 for other events.  An own order that
    arrives between events ``a - 1`` and ``a`` is ahead of every order with ``entered >= a``
    and behind those entered before.
    """

    events: np.ndarray
    times: np.ndarray  # int64 ns, the events' timestamps, never decreasing (contiguous: searched often)
    side: np.ndarray  # per event, the side of the order it concerned
    price: np.ndarray  # per event, that order's price (before the event)
    applied: np.ndarray  # bool: the book applied the event
    entered: np.ndarray  # int64, see above
    best_bid: np.ndarray  # LEVEL_FIELDS per event: the best bid after it (zeros: none)
    best_ask: np.ndarray

    @classmethod
    def of(cls, events: np.ndarray) -> History:
        """Replays ``events`` (feed layout, feed verbs only, times never decreasing) on an
        empty book once."""
        events = np.ascontiguousarray(events, dtype=bk.layouts().event)
        kinds = events["kind"]
        if not np.isin(kinds, _FEED_KINDS).all():
            raise ValueError("a history holds feed verbs only (POST, EXECUTE, REDUCE, CANCEL, REPLACE)")
        times = np.ascontiguousarray(events["timestamp"]).view(np.int64)
        if len(times) > 1 and (np.diff(times) < 0).any():
            raise ValueError("the events' timestamps must never decrease")
        result = bk.new_book().replay(events, depth=1)
        done = np.asarray(result.events)
        applied = done["status"] == OrderBook.APPLIED
        return cls(events, times, done["side"].copy(), done["price_in_ticks"].copy(), applied,
                   _entered(kinds, events["ref"], events["new_ref"], applied),
                   np.asarray(result.bids)[:, 0].copy(), np.asarray(result.asks)[:, 0].copy())

    def __len__(self) -> int:
        return len(self.events)

    def index_after(self, time: int) -> int:
        """The index of the first event stamped after ``time``: an action reaching the
        exchange at ``time`` comes after every event stamped at or before it."""
        return int(self.times.searchsorted(time, side="right"))


def _entered(kinds: np.ndarray, refs: np.ndarray, new_refs: np.ndarray, applied: np.ndarray) -> np.ndarray:
    """Per event acting on a resting order, the index of the event that entered it (see History)."""
    enters = np.flatnonzero(_ENTERS[kinds] & applied)
    acts = np.flatnonzero(_ACTS[kinds] & applied)
    entry_refs = np.where(kinds[enters] == OrderBook.REPLACE, new_refs[enters], refs[enters])
    # entries and acts of one ref side by side in time order; at one index the act (on the old
    # order of a replacement) comes before the entry (its new order)
    ref = np.concatenate([entry_refs, refs[acts]])
    at = np.concatenate([enters, acts])
    is_entry = np.concatenate([np.ones(len(enters), bool), np.zeros(len(acts), bool)])
    order = np.lexsort((is_entry, at, ref))
    ref, at, is_entry = ref[order], at[order], is_entry[order]
    position = np.arange(len(order))
    last_entry = np.maximum.accumulate(np.where(is_entry, position, -1))
    found = (last_entry >= 0) & (ref[np.maximum(last_entry, 0)] == ref)
    entered = np.full(len(kinds), -1, dtype=np.int64)
    mine = ~is_entry
    entered[at[mine]] = np.where(found[mine], at[np.maximum(last_entry, 0)][mine], -1)
    return entered


def lobster_history(path: str | Path) -> np.ndarray:
    """The feed events of a LOBSTER message file, with the stand-ins of the level model when the
    orderbook file is beside it (the volume resting before the file starts, and what entered
    while a level was out of the file's window; see :mod:`varnholt_replay.formats.lobster`),
    else the messages' own events alone."""
    job = make_job(path)
    parts = []
    if not job.orderbook:
        for messages in lobster.read_messages(job.path):
            parts.append(messages.events()[0])
        return np.concatenate(parts) if parts else bk.empty_events(0)
    rows = lobster.OrderbookRows(job.orderbook, job.levels)
    model = lobster.LevelModel()
    edges: tuple[int, int] | None = None
    for messages in lobster.read_messages(job.path):
        expected = rows.take(len(messages))
        messages = messages.part(0, len(expected))
        if not len(messages):
            break
        if edges is None:
            parts.append(model.seed(*lobster.levels_before(expected[0], messages), int(messages.time[0])))
            bid_edge, ask_edge = lobster.window_edges(expected[:1])
            edges = (int(bid_edge[0]), int(ask_edge[0]))
        parts.append(model.translate(messages, expected, edges).events)
        bid_edge, ask_edge = lobster.window_edges(expected[-1:])
        edges = (int(bid_edge[0]), int(ask_edge[0]))
    return np.concatenate(parts) if parts else bk.empty_events(0)
