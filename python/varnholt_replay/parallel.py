"""Replaying many files on one machine: one book per instrument, one thread each.

``OrderBook.replay`` releases the interpreter lock, and the readers spend
their time in NumPy, which mostly does too, so the instruments of a run
replay side by side on the machine's cores.  An ITCH file is read by one
task; each of its symbols is then replayed by a task of its own.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from functools import partial
from typing import Any

from .itch import SymbolEvents
from .progress import ProgressBar
from .runner import (
    Job,
    Options,
    Summary,
    failure_summary,
    read_itch_symbols,
    replay_lobster,
    replay_symbol,
)


def run_local(jobs: Sequence[Job], options: Options = Options(), *, threads: int | None = None,
              progress: ProgressBar | None = None) -> list[Summary]:
    """Replays every job on a pool of threads; the summaries come back in
    job order (an ITCH file's symbols in stock-locate order)."""
    with ThreadPoolExecutor(max_workers=threads or os.cpu_count() or 1,
                            thread_name_prefix="varnholt-replay") as pool:
        return _LocalRun(jobs, options, pool, progress).run()


class _LocalRun:
    def __init__(self, jobs: Sequence[Job], options: Options, pool: ThreadPoolExecutor,
                 progress: ProgressBar | None) -> None:
        self.jobs, self.options, self.pool = jobs, options, pool
        self.advance: Callable[[int], None] = progress.advance if progress else (lambda amount: None)
        self.results: list[list[Summary | None]] = [[None] for _ in jobs]
        # future -> (job, slot of its summary, what to do with its result)
        self.pending: dict[Future, tuple[int, int, Callable[[int, int, Any], None]]] = {}

    def run(self) -> list[Summary]:
        for index, job in enumerate(self.jobs):
            if job.format == "lobster":
                self._submit(index, 0, partial(replay_lobster, job, self.options, self.advance), self._store)
            else:
                self._submit(index, 0, partial(read_itch_symbols, job, self.options, self._scaled(job, 0.5)),
                             self._symbols_read)
        while self.pending:
            finished, _ = wait(list(self.pending), return_when=FIRST_COMPLETED)
            for future in finished:
                index, slot, then = self.pending.pop(future)
                try:
                    outcome = future.result()
                except Exception as error:  # not bad input (that is in the summary): a fault, reported on the job
                    self._store(index, slot, failure_summary(self.jobs[index], error))
                else:
                    then(index, slot, outcome)
        return [summary for group in self.results for summary in group if summary is not None]

    def _submit(self, index: int, slot: int, work: Callable[[], Any], then: Callable[[int, int, Any], None]) -> None:
        self.pending[self.pool.submit(work)] = (index, slot, then)

    def _store(self, index: int, slot: int, summary: Summary) -> None:
        self.results[index][slot] = summary

    def _scaled(self, job: Job, share: float, events: int = 0) -> Callable[[int], None]:
        """Progress in bytes for work measured in bytes (``events`` 0) or in events."""
        if events:
            scale = share * job.size / events
        else:
            scale = share
        return lambda amount: self.advance(int(amount * scale))

    def _symbols_read(self, index: int, slot: int, outcome: tuple[list[SymbolEvents], Summary | None]) -> None:
        symbols, failure = outcome
        if failure is not None:
            self._store(index, slot, failure)
            return
        job = self.jobs[index]
        self.results[index] = [None] * len(symbols)
        total = sum(len(symbol.events) for symbol in symbols)
        progress = self._scaled(job, 0.5, total or 1)
        for k, symbol in enumerate(symbols):
            self._submit(index, k, partial(replay_symbol, job, symbol, self.options, progress), self._store)
