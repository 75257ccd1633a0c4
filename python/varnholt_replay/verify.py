"""Comparing the replayed book with LOBSTER orderbook rows, and checking executions."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import book as bk
from .lobster import ASK_PAD, BID_PAD


@dataclass(frozen=True)
class Divergence:
    """The first level where the book and an orderbook row disagree."""

    row: int  # within the rows compared
    side: str  # "bid" or "ask"
    level: int  # from 1
    expected: tuple[int, int]  # (price, size) in the row
    got: tuple[int, float]  # (price, size) in the book

    def describe(self, line: int) -> str:
        (ep, es), (gp, gs) = self.expected, self.got
        return (f"line {line}: {self.side} level {self.level}: expected size {es} at {ep}, "
                f"book has {gs:g} at {gp}")


def first_divergence(rows: np.ndarray, bids: np.ndarray, asks: np.ndarray, event_rows: np.ndarray,
                     before: tuple[np.ndarray, np.ndarray]) -> Divergence | None:
    """Compares the book after each message with the orderbook row of that message.

    ``rows`` is (n, 4 x levels), one row per message; ``bids`` and ``asks``
    are the snapshots (of at least that many levels) after each event, the
    event of snapshot ``i`` coming from message ``event_rows[i]`` (increasing,
    at most one event per message); ``before`` is the book before the first
    message.  A row with an event is compared with its snapshot; a row
    without one must repeat the row before it (the book has not changed).
    Returns the first disagreement, bids before asks and better levels
    before worse ones within a row.
    """
    n, levels = len(rows), rows.shape[1] // 4
    at_events = rows if len(event_rows) == n else rows[event_rows]
    bad = [event_rows[_mismatch(at_events, bids[:, :levels], asks[:, :levels])][:1]]
    quiet = np.ones(n, dtype=bool)
    quiet[event_rows] = False
    quiet[0] = False  # the first row is checked against ``before`` below
    repeats = np.flatnonzero(quiet)
    if len(repeats):
        changed = (rows[repeats] != rows[repeats - 1]).any(axis=1)
        bad.append(repeats[changed][:1])
    if not len(event_rows) or event_rows[0] > 0:
        bad.append(np.flatnonzero(_mismatch(rows[:1], before[0][None, :levels], before[1][None, :levels])))
    found = np.concatenate(bad)
    if not len(found):
        return None
    row = int(found.min())
    shot = int(np.searchsorted(event_rows, row, side="right")) - 1
    got = before if shot < 0 else (bids[shot], asks[shot])
    return _describe(row, rows[row], got[0][:levels], got[1][:levels])


def _mismatch(expected: np.ndarray, bids: np.ndarray, asks: np.ndarray) -> np.ndarray:
    """Which rows differ from the snapshots beside them.  A missing level is
    size 0 on both sides, whatever its price."""
    e = expected.reshape(len(expected), -1, 4)
    bad = e[:, :, 1] != asks["quantity"]
    bad |= (e[:, :, 0] != asks["price_in_ticks"]) & (e[:, :, 1] != 0)
    bad |= e[:, :, 3] != bids["quantity"]
    bad |= (e[:, :, 2] != bids["price_in_ticks"]) & (e[:, :, 3] != 0)
    return bad.any(axis=1)


def _describe(row: int, expected: np.ndarray, bids: np.ndarray, asks: np.ndarray) -> Divergence:
    """The first differing level of one row."""
    for side, k, levels, pad in (("bid", 2, bids, BID_PAD), ("ask", 0, asks, ASK_PAD)):
        for level in range(len(levels)):
            price, size = int(expected[4 * level + k]), int(expected[4 * level + k + 1])
            got_size = float(levels["quantity"][level])
            got_price = int(levels["price_in_ticks"][level]) if got_size > 0 else pad
            if size != got_size or (size and price != got_price):
                return Divergence(row, side, level + 1, (price, size), (got_price, got_size))
    raise AssertionError("rows that differ have a differing level")


@dataclass(frozen=True)
class ExecutionCheck:
    """Executions whose fill was not the named resting order, whole."""

    count: int
    first: int | None  # event index of the first
    detail: str | None


def check_executions(executions: np.ndarray, expected_refs: np.ndarray, quantities: np.ndarray,
                     results: np.ndarray, fills: np.ndarray) -> ExecutionCheck:
    """Each execution event must fill once, completely, against the order it names.

    ``executions`` are event indices, ``results`` and ``fills`` the replay's
    records for the same events.
    """
    if not len(executions):
        return ExecutionCheck(0, None, None)
    made = results["fills"].astype(np.int64)
    first_fill = np.cumsum(made) - made
    mine = results[executions]
    has_fill = mine["fills"] > 0
    resting = np.full(len(executions), bk.NO_REF, dtype=np.uint64)
    resting[has_fill] = fills["resting_ref"][first_fill[executions][has_fill]]
    good = (mine["status"] == bk.APPLIED) & (mine["fills"] == 1) & (mine["quantity"] == 0) & (resting == expected_refs)
    if good.all():
        return ExecutionCheck(0, None, None)
    k = int(np.argmax(~good))
    name = _ref_name(int(expected_refs[k]))
    if mine["fills"][k] == 0:
        detail = f"execution of {name} traded nothing (status {mine['status'][k]})"
    elif resting[k] != expected_refs[k]:
        detail = f"execution of {name} traded first with {_ref_name(int(resting[k]))}, which is ahead of it"
    else:
        detail = (f"execution of {name} for {quantities[k]:g} needed {mine['fills'][k]} fills "
                  f"and left {mine['quantity'][k]:g} unfilled")
    return ExecutionCheck(int((~good).sum()), int(executions[k]), detail)


def _ref_name(ref: int) -> str:
    if ref == bk.NO_REF:
        return "no order"
    if ref >= bk.STAND_IN_BASE:
        return f"the stand-in #{ref - bk.STAND_IN_BASE} for orders from before the file"
    return f"order {ref}"
