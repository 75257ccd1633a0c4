"""Replaying runs of events through a book, and tallying what they did."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import book as bk
from .jobs import Summary
from .output import ResultWriter


@dataclass
class Batch:
    """The replay of a run of events: results, fills (with ``event`` counted
    from the run's first event), every-event snapshots for verification,
    and the snapshots kept for the results."""

    results: np.ndarray
    fills: np.ndarray
    bids: np.ndarray | None = None
    asks: np.ndarray | None = None
    shot_events: np.ndarray = field(default_factory=lambda: np.empty(0, dtype=np.int64))
    shot_bids: np.ndarray | None = None
    shot_asks: np.ndarray | None = None


def replay_batch(book: Any, events: np.ndarray, *, verify_depth: int = 0, out_depth: int = 0,
                 out_every: int = 1, done: int = 0) -> Batch:
    """Replays ``events``, taking snapshots of ``verify_depth`` levels after
    every event (if asked) and of ``out_depth`` levels after each event whose
    number counted over the whole instrument (``done`` before this run) is a
    multiple of ``out_every``."""
    batch = _replay(book, events, verify_depth=verify_depth, out_depth=out_depth, out_every=out_every, done=done)
    # The book's registry keeps every filled order (executions included) until told otherwise; over
    # a day of messages that is millions of entries nobody looks up, which slows every later event.
    book.forget_filled()
    return batch


def _replay(book: Any, events: np.ndarray, *, verify_depth: int = 0, out_depth: int = 0, out_every: int = 1,
            done: int = 0) -> Batch:
    n = len(events)
    if not n:  # nothing to replay (a block of messages that change nothing): no call, whose
        # snapshots of nothing would have no shape to take
        layouts = bk.layouts()
        no_levels = np.zeros((0, max(verify_depth, out_depth, 1)), dtype=layouts.level)
        return Batch(np.empty(0, layouts.result), np.empty(0, layouts.fill), no_levels, no_levels)
    if verify_depth:
        depth = max(verify_depth, out_depth)
        result = book.replay(events, depth=depth, every=1)
        bids, asks = np.asarray(result.bids), np.asarray(result.asks)
        batch = Batch(np.asarray(result.events), np.asarray(result.fills), bids, asks)
        if out_depth:
            shots = np.flatnonzero((np.arange(done, done + n) + 1) % out_every == 0)
            batch.shot_events = shots
            batch.shot_bids, batch.shot_asks = bids[shots, :out_depth], asks[shots, :out_depth]
        return batch
    if not out_depth:
        result = book.replay(events)
        return Batch(np.asarray(result.events), np.asarray(result.fills))
    # Snapshots fall after events (done + i + 1) % out_every == 0: replay up to
    # the first such event on its own, then the rest with the regular cadence.
    first = (out_every - 1 - done) % out_every + 1  # events up to the first snapshot
    head = min(first, n)
    parts = []
    for begin, end, every in ((0, head, first), (head, n, out_every)):
        if end > begin:
            result = book.replay(events[begin:end], depth=out_depth, every=max(every, 1))
            parts.append((begin, every, result))
    results = [np.asarray(r.events) for *_, r in parts]
    fills = []
    shot_events, shot_bids, shot_asks = [], [], []
    for begin, every, result in parts:
        f = np.asarray(result.fills).copy()
        f["event"] += begin
        fills.append(f)
        b = np.asarray(result.bids)
        shot_events.append(begin + every - 1 + every * np.arange(len(b)))
        shot_bids.append(b)
        shot_asks.append(np.asarray(result.asks))
    return Batch(np.concatenate(results) if results else np.empty(0, bk.layouts().result),
                 np.concatenate(fills) if fills else np.empty(0, bk.layouts().fill),
                 shot_events=np.concatenate(shot_events) if shot_events else np.empty(0, np.int64),
                 shot_bids=np.concatenate(shot_bids) if shot_bids else None,
                 shot_asks=np.concatenate(shot_asks) if shot_asks else None)


class Tally:
    """Accumulates a summary from replayed batches."""

    def __init__(self, summary: Summary, writer: ResultWriter | None, position: str) -> None:
        self.summary = summary
        self.writer = writer
        self.position = position  # "line" or "byte offset", in messages
        self.done = 0  # events replayed so far

    def add(self, events: np.ndarray, batch: Batch, used: int, positions: np.ndarray,
            from_feed: np.ndarray | None = None) -> None:
        """Counts the first ``used`` events of a batch; ``positions`` gives the
        input position of every event, ``from_feed`` marks the events that
        stand for a message (by default all; the others are the verification's
        own, whose refusals are expected and not counted)."""
        s = self.summary
        results = batch.results[:used]
        fills = batch.fills[batch.fills["event"] < used] if len(batch.fills) else batch.fills
        feed = np.ones(used, dtype=bool) if from_feed is None else from_feed[:used]
        s.events += int(np.count_nonzero(feed))
        s.fills += len(fills)
        quantity = fills["quantity"]
        s.volume += float(quantity.sum())
        s.notional += float((fills["price_in_ticks"] * quantity).sum()) * bk.TICK_SIZE
        executed = feed & (events["kind"][:used] == bk.EXECUTE) & (results["status"] == bk.APPLIED)
        s.executions += int(np.count_nonzero(executed))
        s.behind_front += int(np.count_nonzero(executed & (results["at_front"] == 0)))
        unknown = feed & (results["status"] == bk.UNKNOWN_REF)
        s.orphans += int(np.count_nonzero(unknown))
        refused = feed & (results["status"] == bk.REJECTED)
        if refused.any():
            k = int(np.argmax(refused))
            s.rejected += int(refused.sum())
            if s.first_rejection is None:
                s.first_rejection = (f"{self.position} {positions[k]}: {_KIND_NAMES.get(int(events['kind'][k]), 'event')} "
                                     f"of ref {int(events['ref'][k])} refused (reason {int(results['reason'][k])})")
        if self.writer is not None:
            self._write(events, batch, used, fills, positions)
        self.done += used

    def _write(self, events: np.ndarray, batch: Batch, used: int, fills: np.ndarray, positions: np.ndarray) -> None:
        assert self.writer is not None
        if len(fills):
            at = fills["event"].astype(np.int64)
            self.writer.write_fills(fills, at + self.done, positions[at], batch.results["side"][at])
        if batch.shot_bids is not None and batch.shot_asks is not None and len(batch.shot_events):
            keep = batch.shot_events < used
            at = batch.shot_events[keep]
            if len(at):
                self.writer.write_depth(at + self.done, positions[at], events["timestamp"][at],
                                        batch.shot_bids[keep], batch.shot_asks[keep])

    def finish(self, book: Any) -> None:
        bids, asks = book.depth(FINAL_LEVELS)
        s = self.summary
        s.final_bids = [(price * bk.TICK_SIZE, quantity) for price, quantity, _ in bids]
        s.final_asks = [(price * bk.TICK_SIZE, quantity) for price, quantity, _ in asks]
        s.bid = s.final_bids[0] if s.final_bids else None
        s.ask = s.final_asks[0] if s.final_asks else None
        if self.writer is not None:
            self.summary.outputs = [str(p) for p in self.writer.close()]


FINAL_LEVELS = 50
"""Levels a side of the final book that a summary keeps."""

_KIND_NAMES = {bk.POST: "post", bk.EXECUTE: "execution", bk.REDUCE: "reduction", bk.REPLACE: "replace",
               bk.CANCEL: "cancel"}
