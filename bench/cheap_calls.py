"""The cost of a replay call that applies a few events and returns, against one add.

    python3 bench/cheap_calls.py [--quick]

Each row replays n events one call at a time, each call one event that adds an order which rests
(non-crossing buys 9000-9999 ticks and sells 10001-11000, refs all different), and the reference
row adds the same orders with `add` on a book of its own. The inputs (Order objects, one-event
arrays and bytes) are built before the clock starts; the cyclic GC is off while a loop runs.
The last row stops each call on a watched fill: an immediate-or-cancel buy, the k-th of
one array of n, trades with the k-th resting sell, whose ref is watched (its book is made with
one replay of n posts before the clock starts; each call stops after its one event, checked).
Every run of every row is interleaved with the others (round robin), and each row is given as the
median of its runs and the median of the runs' ratios to the add run of the same round. Before
timing, every way of calling is checked to leave the same book as the adds.
"""
import argparse
import gc
import random
import statistics
import sys
from time import perf_counter_ns

import numpy as np

import varnholt
from varnholt import Order, OrderBook, OrderType

B = OrderBook
SETTINGS = {False: dict(n=100_000, rounds=9), True: dict(n=20_000, rounds=5)}


def inputs(n, seed=7):
    """(orders, one-event arrays, the same events as bytes): order k rests under ref k."""
    rng = random.Random(seed)
    rows = []
    for ref in range(n):
        side = rng.randrange(2)
        ticks = 9_999 - rng.randrange(1_000) if side == 0 else 10_001 + rng.randrange(1_000)
        rows.append((B.ADD, side, ticks, rng.choice((1.0, 2.0, 5.0)), ref))
    orders = [Order((OrderType.Buy, OrderType.Sell)[side], ticks, quantity) for _, side, ticks, quantity, _ in rows]
    arrays = [np.array([row], dtype=B.EVENT_FIELDS) for row in rows]
    return orders, arrays, [array.tobytes() for array in arrays]


def ways(orders, arrays, packed):
    """name -> (a fresh book -> the timed loop over all n events)."""
    def add(book):
        add = book.add
        return lambda: [add(order) for order in orders]

    def replay_array_numpy_reads(book):
        replay, asarray = book.replay, np.asarray
        return lambda: [asarray(replay(array).fills) for array in arrays]

    def replay_array(book):
        replay = book.replay
        return lambda: [replay(array) for array in arrays]

    def replay_bytes(book):
        replay = book.replay
        return lambda: [replay(event) for event in packed]

    def replay_bytes_out(book):
        replay, out = book.replay, book.replay(b"")
        return lambda: [replay(event, out=out) for event in packed]

    def replay_bytes_out_count(book):
        # What a strategy reads after every call: how many fills the events made.
        replay, out = book.replay, book.replay(b"")
        return lambda: [len(replay(event, out=out).fills) for event in packed]

    def replay_bytes_out_record(book):
        # And the first event's result as a tuple of its seven fields.
        replay, out = book.replay, book.replay(b"")
        return lambda: [replay(event, out=out).events[0] for event in packed]

    # A stop on a watched fill: the book holds one sell of 1 lot at each of n prices, under refs
    # 1..n (posted before the clock starts); call k replays the k-th of n immediate-or-cancel buys
    # of 1 lot, which trades with the front sell, watched, and stops there.
    n = len(orders)
    posts = np.array([(B.POST, 1, 10_001 + k, 1.0, k + 1) for k in range(n)], dtype=B.EVENT_FIELDS).tobytes()
    takes = np.array([(B.IOC, 0, 10_001 + k, 1.0, n + k + 1) for k in range(n)], dtype=B.EVENT_FIELDS).tobytes()
    watches = [(k + 1,) for k in range(n)]

    def replay_stop_on_fill(book):
        replay, out = book.replay, book.replay(posts)
        return lambda: [replay(takes, start=k, watch=watches[k], out=out).next for k in range(n)]

    return {
        "add(order)": add,
        "replay(array) + np.asarray(fills)": replay_array_numpy_reads,
        "replay(array)": replay_array,
        "replay(bytes)": replay_bytes,
        "replay(bytes, out=r)": replay_bytes_out,
        "replay(bytes, out=r) + len(r.fills)": replay_bytes_out_count,
        "replay(bytes, out=r) + r.events[0]": replay_bytes_out_record,
        "replay(all, start=k, watch=..., out=r)": replay_stop_on_fill,
    }


def timed(loop):
    gc.disable()
    try:
        start = perf_counter_ns()
        loop()
        return perf_counter_ns() - start
    finally:
        gc.enable()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller runs, a few seconds")
    args = ap.parse_args()
    s = SETTINGS[args.quick]
    n = s["n"]
    print(f"varnholt from {varnholt.__file__}, Python {sys.version.split()[0]}")
    orders, arrays, packed = inputs(n)
    calls = ways(orders, arrays, packed)
    # Every way leaves the same book: the same resting orders, level by level.
    books = {}
    for name, make in calls.items():
        if "watch" in name:
            if make(OrderBook())() != list(range(1, n + 1)):
                sys.exit("a call meant to stop on its watched fill did not stop after its event; no timings")
            continue
        book = OrderBook()
        make(book)()
        books[name] = book.depth(2_000)
    if len({repr(depth) for depth in books.values()}) != 1:
        sys.exit("the ways of calling left different books; no timings")
    times = {name: [] for name in calls}
    for _ in range(s["rounds"]):
        for name, make in calls.items():
            loop = make(OrderBook())
            gc.collect()
            times[name].append(timed(loop) / n)
    adds = times["add(order)"]
    print(f"\nOne event a call, {n:,} calls a run, median of {s['rounds']} interleaved runs")
    print(f"{'call':<38} {'ns':>8} {'x add':>7}  target")
    for name, runs in times.items():
        ratio = statistics.median(t / a for t, a in zip(runs, adds))
        target = ""
        if name.endswith("len(r.fills)") or "watch" in name:
            target = f"<= 2x add  {'met' if ratio <= 2 else 'NOT MET'}"
        print(f"{name:<38} {statistics.median(runs):>8,.0f} {ratio:>7.2f}  {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
