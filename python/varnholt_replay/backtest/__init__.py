"""Backtests on market-by-order history: strategy variants place own orders into a recorded
feed-event stream as if they had been there, without changing it, with four-leg latency, all
variants in one pass.

    from varnholt_replay.backtest import Backtest, History, Latency, lobster_history

    history = History.of(lobster_history("AMZN_2012-06-21_34200000_57600000_message_5.csv"))
    outcomes = Backtest(history, Latency(feed=20_000, entry=50_000, response=40_000)).run(strategies)

:mod:`.history` holds the history and its one native replay, :mod:`.latency` the legs,
:mod:`.engine` the own-order model and the pass, :mod:`.reference` a plain-Python model that
walks every event (the tests' and the benchmark's yardstick).
"""

from .engine import ACK, FILL, OWN_FILL_FIELDS, START, TIMER, TOUCH, Ack, Backtest, Context, Known, Outcome, Strategy
from .history import History, lobster_history
from .latency import Latency, Measured

__all__ = ["ACK", "FILL", "OWN_FILL_FIELDS", "START", "TIMER", "TOUCH", "Ack", "Backtest", "Context", "History",
           "Known", "Latency", "Measured", "Outcome", "Strategy", "lobster_history"]
