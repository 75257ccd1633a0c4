"""Backtests on market-by-order history: the own-order model on hand-computed cases (each a fault
users of other tools report), against the plain-Python model that walks every event, latency,
and variants in one pass."""

from __future__ import annotations

import random

import numpy as np
import pytest
from varnholt_replay.backtest import Backtest, Latency, Measured
from varnholt_replay.backtest.reference import run_reference

from .conftest import RandomTrader, random_history


def same_outcomes(ours, theirs):
    assert len(ours) == len(theirs)
    for mine, yours in zip(ours, theirs):
        assert mine.fills.tolist() == yours.fills.tolist()
        assert (mine.position, mine.actions, mine.rejected, mine.calls) == (
            yours.position, yours.actions, yours.rejected, yours.calls)
        assert mine.cash == pytest.approx(yours.cash)


LATENCIES = [
    Latency(),
    Latency(feed=2, entry=5, response=3),
    Latency(feed=4, entry={"new": 2, "amend": 9, "cancel": 0}, response={"new": 1, "amend": 0, "cancel": 6, "fill": 2}),
    Latency(feed=0, entry={"new": 3, "amend": -1, "cancel": 1}, response=2),
    Latency(feed=Measured([(0, 3, 0), (2000, 9, 0)]), entry=Measured([(0, 4, 9), (1400, -1, 1500), (1800, 1810, 1815)]),
            response=Measured([(0, 2, 5), (2000, 2010, 2011)])),
]


@pytest.mark.parametrize("latency", LATENCIES, ids=["none", "constant", "per kind", "rejected amends", "measured"])
@pytest.mark.parametrize("seed", range(6))
def test_the_backtest_gives_what_walking_every_event_gives(seed, latency):
    rng = random.Random(seed)
    history = random_history(rng, 400)
    ours = [RandomTrader(seed * 10 + v) for v in range(3)]
    theirs = [RandomTrader(seed * 10 + v) for v in range(3)]
    same_outcomes(Backtest(history, latency).run(ours), run_reference(history, theirs, latency))
    for mine, yours in zip(ours, theirs):
        assert mine.log == yours.log
