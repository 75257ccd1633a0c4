"""Replaying market-by-order data (LOBSTER, NASDAQ ITCH 5.0) through varnholt books.

``varnholt-replay FILES...`` replays each file, or each symbol of an ITCH
file, on a book of its own in parallel threads (or on a Dask cluster) and
prints a summary per instrument; see :mod:`varnholt_replay.cli`.  From
Python::

    from varnholt_replay import Options, make_job, run_local
    summaries = run_local([make_job("AAPL_2012-06-21_34200000_57600000_message_10.csv")])

The readers (:mod:`~varnholt_replay.lobster`, :mod:`~varnholt_replay.itch`)
turn files into ``varnholt.OrderBook.replay`` event arrays;
:mod:`~varnholt_replay.generate` writes seeded test files in both formats.
"""

from .errors import InputError
from .runner import Job, Options, Summary, make_job, replay_lobster, replay_symbol

__all__ = ["InputError", "Job", "Options", "Summary", "make_job", "replay_lobster", "replay_symbol",
           "run_local", "run_on_cluster"]


def __getattr__(name: str):  # type: ignore[no-untyped-def]
    # The parallel drivers are loaded on first use (the Dask one imports dask).
    if name == "run_local":
        from .parallel import run_local

        return run_local
    if name == "run_on_cluster":
        from .cluster import run_on_cluster

        return run_on_cluster
    raise AttributeError(name)
