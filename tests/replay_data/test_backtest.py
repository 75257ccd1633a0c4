"""Backtests on market-by-order history: the own-order model on hand-computed cases (each a fault
users of other tools report), against the plain-Python model that walks every event, latency,
and variants in one pass."""

from __future__ import annotations

import random

import numpy as np
import pytest
from varnholt import OrderBook as B
from varnholt_replay.backtest import ACK, FILL, START, Backtest, History, Latency, Measured, lobster_history
from varnholt_replay.backtest.engine import _first_at_least, _running_maxima
from varnholt_replay.backtest.reference import run_reference
from varnholt_replay.book import BUY, SELL

from .conftest import RandomTrader, Script, feed_events, random_history, real_lobster_prefix

RUNS = {"native": lambda history, strategies, latency=Latency(): Backtest(history, latency).run(strategies),
        "walking every event": run_reference}


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


# Each case: the history (kind, side, price, quantity, ref, time[, new_ref]), the own actions by
# time, the own fills (order, side, price, quantity, time, event, aggressive), and what the
# strategy must know of order 1 at the end.
CASES = {
    "a partial fill reaches the position": (
        [(B.POST, BUY, 100, 5.0, 1, 1000), (B.POST, BUY, 100, 3.0, 2, 1010),
         (B.EXECUTE, 0, 0, 5.0, 1, 1020), (B.EXECUTE, 0, 0, 2.0, 2, 1030)],
        {1005: [("buy", 100, 10.0)]},
        # ref 1 was ahead (its execution fills nothing); ref 2 came after, so its execution is
        # history trading through the own order's place
        [(1, BUY, 100, 2.0, 1030, 3, False)], (100, 8.0, True)),
    "a modify to a crossing price takes liquidity": (
        [(B.POST, SELL, 105, 4.0, 1, 1000), (B.POST, BUY, 100, 5.0, 2, 1000), (B.POST, SELL, 106, 1.0, 3, 1020)],
        {1005: [("buy", 101, 6.0)], 1015: [("amend", 1, None, 105)]},
        [(1, BUY, 105, 4.0, 1015, 2, True)], (105, 2.0, True)),
    "the remaining quantity is right after a partial fill and a modify": (
        [(B.POST, SELL, 105, 2.0, 1, 1000), (B.POST, SELL, 105, 5.0, 2, 1010), (B.EXECUTE, 0, 0, 4.0, 2, 1020),
         (B.POST, SELL, 106, 1.0, 3, 1030), (B.EXECUTE, 0, 0, 1.0, 3, 1040)],
        {1005: [("sell", 105, 10.0)], 1025: [("amend", 1, None, 106)]},
        # 4 of 10 filled at 105; the move to 106 keeps the 6 left, not the 10 sent
        [(1, SELL, 105, 4.0, 1020, 2, False), (1, SELL, 106, 1.0, 1040, 4, False)], (106, 5.0, True)),
    "a cancel behind does not advance the queue": (
        [(B.POST, BUY, 100, 5.0, 1, 1000), (B.POST, BUY, 100, 4.0, 2, 1010), (B.CANCEL, 0, 0, 0.0, 2, 1020),
         (B.EXECUTE, 0, 0, 5.0, 1, 1030), (B.POST, BUY, 100, 2.0, 3, 1040), (B.EXECUTE, 0, 0, 2.0, 3, 1050)],
        {1005: [("buy", 100, 3.0)]},
        # counting the cancel of ref 2 (behind) as progress would have filled 3 at the execution of ref 1
        [(1, BUY, 100, 2.0, 1050, 5, False)], (100, 1.0, True)),
    "a displayed lot fills one own order": (
        [(B.POST, SELL, 105, 3.0, 1, 1000), (B.EXECUTE, 0, 0, 2.0, 1, 1010), (B.POST, SELL, 105, 1.0, 2, 1012),
         (B.POST, SELL, 107, 1.0, 3, 1020)],
        {1005: [("buy", 105, 2.0, True)], 1006: [("buy", 105, 2.0, True)], 1015: [("buy", 105, 2.0, True)]},
        # the second order finds 1 of ref 1's 3 lots left; history's execution of 2 uses up 2 of
        # the 3 taken, and the lot left on ref 1 is still taken, so the third finds ref 2 alone
        [(1, BUY, 105, 2.0, 1005, 1, True), (2, BUY, 105, 1.0, 1006, 1, True), (3, BUY, 105, 1.0, 1015, 3, True)],
        (105, 0.0, False)),
    "an execution at a worse price trades through a better own order": (
        [(B.POST, BUY, 100, 5.0, 1, 1000), (B.POST, SELL, 104, 5.0, 2, 1000), (B.EXECUTE, 0, 0, 3.0, 1, 1010)],
        {1005: [("buy", 101, 2.0), ("buy", 101, 2.0)]},
        # the two own orders share the 3 lots in their order
        [(1, BUY, 101, 2.0, 1010, 2, False), (2, BUY, 101, 1.0, 1010, 2, False)], (101, 0.0, False)),
    "a lower quantity keeps the place, a higher one goes to the back": (
        [(B.POST, BUY, 100, 1.0, 1, 1000), (B.POST, BUY, 100, 1.0, 2, 1010), (B.POST, BUY, 100, 4.0, 3, 1030),
         (B.EXECUTE, 0, 0, 1.0, 2, 1040), (B.EXECUTE, 0, 0, 4.0, 3, 1050)],
        {1005: [("buy", 100, 4.0), ("buy", 100, 4.0)], 1020: [("amend", 1, 5.0, None), ("amend", 2, 3.0, None)]},
        # order 1 (up to 5) now stands behind ref 2, order 2 (down to 3) still ahead of it; both
        # are ahead of ref 3, order 2 first
        [(2, BUY, 100, 1.0, 1040, 3, False), (2, BUY, 100, 2.0, 1050, 4, False), (1, BUY, 100, 2.0, 1050, 4, False)],
        (100, 3.0, True)),
}


@pytest.mark.parametrize("run", RUNS.values(), ids=RUNS.keys())
@pytest.mark.parametrize("rows, steps, fills, last", CASES.values(), ids=CASES.keys())
def test_own_orders_against_history(run, rows, steps, fills, last):
    history = feed_events(*rows)
    script = Script(steps)
    outcome, = run(history, [script])
    assert outcome.fills.tolist() == fills
    bought = sum(f[3] if f[1] == BUY else -f[3] for f in fills)
    assert outcome.position == bought
    final = script.seen[-1][3][1]  # what the strategy knows of order 1 at its last call
    assert (final.price_in_ticks, final.remaining, final.open) == last
    assert script.seen[-1][2] == bought  # every partial fill reached the strategy's position


# Latency: a buy of 3 at 100 sent at the start.  It is filled by the execution at 1300 if it
# reached the exchange before ref 3 entered (1200), and not if after.
LATENCY_HISTORY = [(B.POST, SELL, 105, 5.0, 1, 1000), (B.POST, BUY, 100, 5.0, 2, 1100),
                   (B.POST, BUY, 100, 2.0, 3, 1200), (B.EXECUTE, 0, 0, 2.0, 3, 1300),
                   (B.POST, SELL, 104, 1.0, 4, 1400)]
LATENCY_CASES = {
    "none": (Latency(), [(1000, START), (1000, ACK), (1300, FILL)], True),
    "feed, entry and response": (Latency(feed=50, entry=100, response=30),
                                 [(1050, START), (1180, ACK), (1330, FILL)], True),
    "an entry that arrives behind ref 3": (Latency(entry=250, response=5), [(1000, START), (1255, ACK)], False),
    "an entry stamped with ref 3 comes after it": (Latency(entry=200), [(1000, START), (1200, ACK)], False),
    "per kind": (Latency(entry={"new": 20, "amend": 900, "cancel": 900},
                         response={"new": 7, "amend": 0, "cancel": 0, "fill": 11}),
                 [(1000, START), (1027, ACK), (1311, FILL)], True),
    "rejected": (Latency(entry={"new": -1, "amend": 0, "cancel": 0}, response=4), [(1000, START), (1005, ACK)], False),
    "measured": (Latency(entry=Measured([(0, 150, 160), (2000, 2250, 2300)]), response=Measured([(0, 10, 15)])),
                 # at 1000 the entry latency is halfway from 150 to 250 (1200: behind ref 3)
                 [(1000, START), (1205, ACK)], False),
    "measured feed": (Latency(feed=Measured([(0, 40, 0), (2000, 2040, 0)])), [(1040, START), (1040, ACK), (1300, FILL)],
                      True),
}


@pytest.mark.parametrize("run", RUNS.values(), ids=RUNS.keys())
@pytest.mark.parametrize("latency, calls, filled", LATENCY_CASES.values(), ids=LATENCY_CASES.keys())
def test_latency_legs(run, latency, calls, filled):
    script = Script({0: [("buy", 100, 3.0)]})
    outcome, = run(feed_events(*LATENCY_HISTORY), [script], latency)
    assert [(time, reason) for time, reason, *_ in script.seen] == calls
    assert outcome.fills["quantity"].tolist() == ([2.0] if filled else [])
    assert outcome.rejected == (latency.entry_at("new", 1000) < 0)


def test_the_strategy_sees_the_market_through_the_feed():
    shown = []

    def watch(ctx):
        shown.append((ctx.time, ctx.best_bid, ctx.best_ask))
        ctx.wait(touch=True)

    Backtest(feed_events(*LATENCY_HISTORY), Latency(feed=150)).run([watch])
    # called when each change of the touch reaches it, 150 ns after the exchange's stamp
    assert shown == [(1150, None, (105, 5.0)), (1250, (100, 5.0), (105, 5.0)), (1350, (100, 7.0), (105, 5.0)),
                     (1450, (100, 5.0), (105, 5.0)), (1550, (100, 5.0), (104, 1.0))]


@pytest.mark.parametrize("seed", range(3))
def test_variants_in_one_pass_are_what_separate_passes_give(seed):
    history = random_history(random.Random(seed), 500)
    latency = Latency(feed=2, entry={"new": 3, "amend": 6, "cancel": 1}, response=4)
    together = [RandomTrader(100 + v, immediate=0.3) for v in range(5)]
    outcomes = Backtest(history, latency).run(together)
    for v, outcome in enumerate(outcomes):
        alone = RandomTrader(100 + v, immediate=0.3)
        same_outcomes([outcome], Backtest(history, latency).run([alone]))
        assert alone.log == together[v].log


def test_the_backtest_example_runs(lobster_files):
    import os
    import subprocess
    import sys

    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "backtest.py")
    run = subprocess.run([sys.executable, example, str(lobster_files.messages), "--events", "3000",
                          "--offsets", "0,1", "--bands", "1"], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "2 variants in one pass" in lines[0]
    assert [line.split()[:2] for line in lines[2:]] == [["0", "1"], ["1", "1"]]


def test_a_real_day_gives_what_walking_every_event_gives(tmp_path):
    job = real_lobster_prefix(tmp_path, "AMZN_2012-06-21_5", 6000)
    history = lobster_history(job.path)
    latency = Latency(feed=20_000, entry={"new": 50_000, "amend": 50_000, "cancel": 30_000}, response=40_000)
    ours = [RandomTrader(v, immediate=0.3, tick=100, around=2_230_000) for v in range(4)]
    theirs = [RandomTrader(v, immediate=0.3, tick=100, around=2_230_000) for v in range(4)]
    outcomes = Backtest(history, latency).run(ours)
    same_outcomes(outcomes, run_reference(history, theirs, latency))
    # passive and aggressive fills, both
    assert any(outcome.fills["aggressive"].any() and not outcome.fills["aggressive"].all() for outcome in outcomes)


@pytest.mark.parametrize("make, error, message", [
    (lambda: History.of(feed_events((B.ADD, BUY, 100, 1.0, 1, 1000))), ValueError,
     "a history holds feed verbs only (POST, EXECUTE, REDUCE, CANCEL, REPLACE)"),
    (lambda: History.of(feed_events((B.POST, BUY, 100, 1.0, 1, 1000), (B.POST, BUY, 100, 1.0, 2, 999))), ValueError,
     "the events' timestamps must never decrease"),
    (lambda: Latency(entry={"new": 1, "amend": 2}), ValueError, "the entry latency has no value for cancel"),
    (lambda: Latency(response={"new": 1, "amend": 2, "cancel": 3}), ValueError,
     "the response latency has no value for fill"),
    (lambda: Latency(entry=1.5), TypeError, "the entry latency must be an int, Measured rows or a mapping by kind"),
    (lambda: Latency(feed=-1), ValueError, "the feed latency cannot be negative"),
    (lambda: Measured([]), ValueError, "measured latency needs at least one row"),
    (lambda: Backtest(feed_events(*LATENCY_HISTORY)).run([lambda ctx: ctx.cancel(7)]), ValueError,
     "no own order 7 in this variant"),
    (lambda: Backtest(feed_events(*LATENCY_HISTORY)).run([lambda ctx: ctx.buy(100, 0.0)]), ValueError,
     "an own order needs a positive price and a positive, finite quantity"),
    (lambda: Backtest(feed_events(*LATENCY_HISTORY)).run([lambda ctx: ctx.amend(ctx.buy(100, 1.0), quantity=-1.0)]),
     ValueError, "quantity must be positive"),
])
def test_bad_arguments_are_refused(make, error, message):
    with pytest.raises(error) as raised:
        make()
    assert str(raised.value) == message


MEASURED = Measured([(0, 100, 150), (1000, 1300, 1320), (2000, -1, 2100), (3000, 3050, 3060)])


@pytest.mark.parametrize("at, entry", [(0, 100), (500, 200), (1000, 300), (3000, 50), (4000, 50), (-5, 100)])
def test_measured_entry_latency_is_interpolated_between_requests(at, entry):
    assert MEASURED.entry(at) == entry


@pytest.mark.parametrize("at", [1001, 1500, 2000, 2500, 2999])
def test_actions_sent_beside_a_rejected_row_are_rejected(at):
    assert MEASURED.entry(at) < 0


@pytest.mark.parametrize("at, response", [(100, 50), (700, 35), (1300, 20), (5000, 10)])
def test_measured_response_latency_is_interpolated_between_exchange_times(at, response):
    assert MEASURED.response(at) == response


@pytest.mark.parametrize("length", [1, 2, 3, 7, 8, 9, 64, 100])
def test_the_first_key_at_least_a_threshold_is_the_one_a_walk_finds(length):
    """The look for the first execution behind an own order skips spans of keys by their running
    maxima: every start and threshold gives what walking the keys gives, spans that end at the
    last key and thresholds above every key included."""
    keys = np.array(random.Random(length).choices(range(-20, 20), k=length), dtype=np.int64)
    maxima = _running_maxima(keys)
    for start in range(length + 2):
        for threshold in range(-21, 22):
            walked = next((at for at in range(start, length) if keys[at] >= threshold), None)
            assert _first_at_least(maxima, start, threshold) == walked
