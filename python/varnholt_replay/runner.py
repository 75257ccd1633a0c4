"""Replaying one instrument: its events through a book, with the checks and tallies.

The entry points take a :class:`Job` (a file) and :class:`Options` and return
:class:`Summary` objects; they never raise for bad input, which is reported
in the summary's ``error`` instead, so that a caller running many files
goes on with the others.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import replace
from typing import Any

import numpy as np

from . import book as bk
from .batches import Batch, Tally, replay_batch
from .errors import InputError
from .itch import SymbolEvents, read_itch
from .jobs import (
    Job,
    Options,
    Progress,
    Summary,
    failure_summary,
    instrument_name,
    make_job,
)
from .lobster import (
    CROSS,
    EXECUTE,
    HALT,
    HIDDEN_EXECUTE,
    Horizon,
    LobsterTranslator,
    Messages,
    OrderbookRows,
    Translation,
    levels_before,
    levels_from_row,
    read_messages,
)
from .memory import keep_freed_memory
from .output import ResultWriter
from .verify import Divergence, first_divergence

__all__ = ["Job", "Options", "Summary", "failure_summary", "make_job", "read_itch_symbols", "replay_file",
           "replay_lobster", "replay_symbol"]

ITCH_BLOCK_EVENTS = 1 << 20
RESYNC_WINDOW = 1 << 10
VERIFY_BLOCK_BYTES = 1 << 19  # message blocks while verifying: every-event snapshots stay small


def _writer(options: Options, instrument: str, position: str) -> ResultWriter | None:
    if options.out_dir is None:
        return None
    return ResultWriter(options.out_dir, instrument, options.snapshot_depth, position)


def _guarded(summary: Summary, work: Callable[[], None]) -> Summary:
    started = time.perf_counter()
    try:
        work()
    except InputError as error:
        summary.error = str(error)
    summary.seconds = time.perf_counter() - started
    return summary


# LOBSTER ------------------------------------------------------------------------

def replay_lobster(job: Job, options: Options = Options(), progress: Progress | None = None) -> Summary:
    """Replays a LOBSTER message file, verified against its orderbook file
    when there is one and ``options.verify`` is set."""
    summary = Summary(instrument_name(job.path), job.path)
    return _guarded(summary, lambda: _LobsterReplay(job, options, summary, progress).run())


class _LobsterReplay:
    def __init__(self, job: Job, options: Options, summary: Summary, progress: Progress | None) -> None:
        self.job, self.options, self.summary = job, options, summary
        self.progress = progress
        self.rows = (OrderbookRows(job.orderbook, job.levels, block_bytes=2 * options.block_bytes)
                     if options.verify and job.orderbook else None)
        self.depth = self.rows.levels if self.rows else 0
        self.book: Any = None
        self.translator = LobsterTranslator()
        self.horizon: Horizon | None = None
        self.seeded = False  # the book has stand-ins for the orders from before the file
        self.before: tuple[np.ndarray, np.ndarray] | None = None  # book before the next message
        self.window = 1 << 62  # messages translated at once
        self.tally = Tally(summary, _writer(options, summary.instrument, "line"), "line")

    def run(self) -> None:
        self.book = bk.new_book()
        writer = self.tally.writer
        read = 0
        block_bytes = min(self.options.block_bytes, VERIFY_BLOCK_BYTES) if self.rows else self.options.block_bytes
        for messages in read_messages(self.job.path, block_bytes=block_bytes, with_time=writer is not None):
            expected = self.rows.take(len(messages)) if self.rows else None
            if not self.summary.messages and self.job.orderbook:
                # the orderbook file's first row seeds the book even when it is not compared
                first = expected[0] if expected is not None else self._first_row()
                self._seed(first, levels_before(first, messages))
            self.summary.messages += len(messages)
            skipped = self.summary.skipped
            for kind, name in ((HIDDEN_EXECUTE, "hidden execute"), (CROSS, "cross trade"), (HALT, "halt")):
                skipped[name] = skipped.get(name, 0) + int(np.count_nonzero(messages.type == kind))
            stopped = self._block(messages, expected)
            if self.progress:
                self.progress(messages.end_offset - read)
            read = messages.end_offset
            if stopped:
                break
        if not self.summary.messages:
            raise InputError(self.job.path, "no messages (the file is empty)")
        if self.rows and not self.summary.divergences:
            self.summary.verification = f"ok ({self.summary.messages:,} rows)"
        self.tally.finish(self.book)

    def _horizon(self) -> Horizon:
        assert self.horizon is not None, "verification starts with a seeded book"
        return self.horizon

    def _first_row(self) -> np.ndarray:
        assert self.job.orderbook is not None
        return OrderbookRows(self.job.orderbook, self.job.levels, block_bytes=1 << 16).take(1)[0]

    def _seed(self, row: np.ndarray, levels: tuple[np.ndarray, np.ndarray, np.ndarray]) -> None:
        """Stand-ins for the levels of ``row`` in the (empty) book."""
        self.book.replay(self.translator.seed(*levels))
        self.seeded = True
        if self.depth:
            self.before = bk.top_levels(self.book, self.depth)
            self.horizon = Horizon(row)

    def _block(self, messages: Messages, expected: np.ndarray | None) -> bool:
        """Replays a block, part by part; True if the replay must stop."""
        start = 0
        while start < len(messages):
            stop = min(len(messages), start + self.window)
            rows = None if expected is None else expected[start:stop]
            view = None if rows is None else self._horizon().first_view(rows)
            if rows is not None and view is not None:  # replay up to that row, to complete its new levels
                stop = start + view + 1
                rows = rows[:view + 1]
            part = messages.part(start, stop)
            translation = self.translator.translate(part)
            batch = replay_batch(self.book, translation.events, verify_depth=self.depth,
                                 out_depth=self.options.snapshot_depth if self.tally.writer else 0,
                                 out_every=self.options.snapshot_every, done=self.tally.done)
            divergence = None if rows is None else self._compare(rows, translation, batch, view)
            self._count(part, translation, batch, len(part) if divergence is None else divergence.row + 1)
            if divergence is None:
                start = stop
                self.window = min(self.window * 2, 1 << 62)
            elif self._diverged(part.first_line + divergence.row, divergence):
                return True
            else:
                assert expected is not None
                self._resync(expected[start + divergence.row])
                start += divergence.row + 1
                self.window = RESYNC_WINDOW
        return False

    def _compare(self, rows: np.ndarray, translation: Translation, batch: Batch,
                 view: int | None) -> Divergence | None:
        """Verifies a part against its orderbook rows (the last one bringing
        levels into view if ``view`` is set) and moves the horizon and the
        book-before-the-next-message on."""
        assert batch.bids is not None and batch.asks is not None and self.before is not None
        divergence = first_divergence(rows, batch.bids, batch.asks, translation.rows, self.before)
        if divergence is not None and divergence.row == view:
            remaining = self._complete_new_levels(rows[view])
            divergence = None if remaining is None else replace(remaining, row=view)
        if divergence is None:
            self._horizon().advance(rows)
            if view is not None:
                self.before = bk.top_levels(self.book, self.depth)
            elif len(translation.events):
                self.before = (batch.bids[-1], batch.asks[-1])
        return divergence

    def _diverged(self, line: int, divergence: Divergence) -> bool:
        """Records a divergence; True if the replay must stop."""
        s = self.summary
        s.divergences += 1
        if s.divergences == 1:
            s.verification = "diverged at " + divergence.describe(line)
        else:
            s.verification = f"diverged {s.divergences} times, first at " + s.verification.split(" at ", 1)[1]
        return self.options.on_divergence == "stop"

    def _complete_new_levels(self, row: np.ndarray) -> Divergence | None:
        """The book is at ``row``, which shows levels beyond what was known:
        put the missing old orders of each such level in front of it and
        compare again; returns what still differs."""
        bids, asks = bk.top_levels(self.book, self.depth)
        events = []
        for side, prices, sizes, ours in ((bk.BUY, row[2::4], row[3::4], bids), (bk.SELL, row[0::4], row[1::4], asks)):
            held = {int(p): float(q) for p, q in zip(ours["price_in_ticks"], ours["quantity"]) if q > 0}
            for price, size in zip(prices.tolist(), sizes.tolist()):
                if size > 0 and self._horizon().beyond(side, price) and size > held.get(price, 0):
                    events.append(self.translator.bring_into_view(side, price, size - int(held.get(price, 0))))
        if events:
            self.book.replay(np.concatenate(events))
            bids, asks = bk.top_levels(self.book, self.depth)
        return first_divergence(row[None, :], bids[None, :], asks[None, :], np.zeros(1, np.intp), (bids, asks))

    def _count(self, part: Messages, t: Translation, batch: Batch, used_rows: int) -> None:
        used = int(np.searchsorted(t.rows, used_rows))
        lines = part.first_line + t.rows
        times = None if part.time is None else part.time[t.rows]
        self.tally.add(t.events, batch, used, lines, t.executions, t.expected_refs, times)
        orphans = t.orphans[t.orphans < used_rows]
        self.summary.orphans += len(orphans)
        lost = orphans[part.type[orphans] == EXECUTE]
        if len(lost) and self.seeded:  # with stand-ins, every traded order should be known
            self.tally.violation(len(lost), f"line {part.first_line + int(lost[0])}: execution of order "
                                            f"{int(part.order_id[lost[0]])}, which the book does not hold")

    def _resync(self, row: np.ndarray) -> None:
        """Starts again from an orderbook row: a fresh book with one
        stand-in per level, every earlier order forgotten."""
        self.book = bk.new_book()
        self.translator.reset()
        self._seed(row, levels_from_row(row))


# ITCH ----------------------------------------------------------------------------

def read_itch_symbols(job: Job, options: Options = Options(),
                      progress: Progress | None = None) -> tuple[list[SymbolEvents], Summary | None]:
    """The symbols of an ITCH file, or an error summary for the file."""
    summary = Summary(instrument_name(job.path), job.path)
    symbols: list[SymbolEvents] = []

    def read() -> None:
        parsed = read_itch(job.path, options.symbols or None, block_bytes=max(options.block_bytes, 1 << 16),
                           progress=progress)
        symbols.extend(parsed.symbols.values())
        if not symbols:
            raise InputError(job.path, "no order messages")

    _guarded(summary, read)
    return symbols, (summary if summary.error else None)


def replay_symbol(job: Job, symbol: SymbolEvents, options: Options = Options(),
                  progress: Progress | None = None) -> Summary:
    """Replays the events of one symbol of an ITCH file on a book of its own."""
    summary = Summary(instrument_name(job.path, symbol.symbol), job.path)
    summary.messages = symbol.messages
    summary.orphans = symbol.unknown
    summary.skipped = {name: symbol.counts.get(letter, 0) for letter, name in
                       (("P", "trade"), ("Q", "cross trade"), ("B", "broken trade"), ("H", "trading action"))
                       if symbol.counts.get(letter)}

    def run() -> None:
        writer = _writer(options, summary.instrument, "offset")
        tally = Tally(summary, writer, "byte offset")
        book = bk.new_book()
        for begin in range(0, len(symbol.events), ITCH_BLOCK_EVENTS):
            end = min(begin + ITCH_BLOCK_EVENTS, len(symbol.events))
            events = symbol.events[begin:end]
            batch = replay_batch(book, events, out_depth=options.snapshot_depth if writer else 0,
                                 out_every=options.snapshot_every, done=tally.done)
            expected = symbol.expected[begin:end]
            executions = np.flatnonzero(expected != bk.NO_REF)
            tally.add(events, batch, len(events), symbol.offsets[begin:end], executions, expected[executions],
                      symbol.times[begin:end])
            if progress:
                progress(len(events))
        if not summary.violations:
            summary.verification = "executions ok"
        tally.finish(book)

    return _guarded(summary, run)


def replay_file(job: Job, options: Options = Options(), progress: Progress | None = None) -> list[Summary]:
    """Replays every instrument of a file, one after the other (the per-file
    task of a cluster run)."""
    keep_freed_memory()
    if job.format == "lobster":
        return [replay_lobster(job, options, progress)]
    symbols, failure = read_itch_symbols(job, options)
    if failure is not None:
        return [failure]
    return [replay_symbol(job, symbol, options) for symbol in symbols]
