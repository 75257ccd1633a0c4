"""Replaying market-by-order data (LOBSTER, NASDAQ ITCH 5.0) through varnholt books.

``varnholt-replay FILES...`` replays each file, or each symbol of an ITCH
file, on a book of its own, files in parallel threads (or on a Dask
cluster), and prints a summary per instrument; see :mod:`varnholt_replay.cli`.
From Python::

    from varnholt_replay import Options, make_job, run_local
    summaries = run_local([make_job("AAPL_2012-06-21_34200000_57600000_message_10.csv")])

The layout: :mod:`~varnholt_replay.formats` holds one module per feed format
(reading a file into ``OrderBook.replay`` feed events, and its
verification), :mod:`~varnholt_replay.runner` replays one file,
:mod:`~varnholt_replay.running` runs many (threads, Dask), and
:mod:`~varnholt_replay.testing` writes seeded test files in both formats.
"""

from .errors import InputError
from .jobs import Job, Options, Summary, make_job
from .runner import replay_file, replay_itch, replay_lobster

__all__ = ["InputError", "Job", "Options", "Summary", "make_job", "replay_file", "replay_itch", "replay_lobster",
           "run_local", "run_on_cluster"]


def __getattr__(name: str):  # type: ignore[no-untyped-def]
    # The drivers are loaded on first use (the Dask one imports dask).
    if name == "run_local":
        from .running.local import run_local

        return run_local
    if name == "run_on_cluster":
        from .running.cluster import run_on_cluster

        return run_on_cluster
    raise AttributeError(name)
