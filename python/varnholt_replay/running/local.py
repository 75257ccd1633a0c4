"""Replaying many files on one machine: one task per file, on a pool of threads.

``OrderBook.replay`` releases the interpreter lock, and the readers spend
their time in NumPy, which mostly does too, so files replay side by side on
the machine's cores.  A task is :func:`~varnholt_replay.runner.replay_file`,
a plain function of its job.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor

from ..progress import ProgressBar
from ..runner import Job, Options, Summary, failure_summary, replay_file


def run_local(jobs: Sequence[Job], options: Options = Options(), *, threads: int | None = None,
              progress: ProgressBar | None = None) -> list[Summary]:
    """Replays every job on a pool of threads; the summaries come back in
    job order (an ITCH file's symbols in stock-locate order)."""
    advance = progress.advance if progress else None
    with ThreadPoolExecutor(max_workers=threads or os.cpu_count() or 1,
                            thread_name_prefix="varnholt-replay") as pool:
        futures = [pool.submit(replay_file, job, options, advance) for job in jobs]
        results: list[Summary] = []
        for job, future in zip(jobs, futures):
            try:
                results.extend(future.result())
            except Exception as error:  # not bad input (that is in the summary): a fault, reported on the job
                results.append(failure_summary(job, error))
        return results
