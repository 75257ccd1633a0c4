"""Benchmarks of varnholt against the pure-Python baseline.

    python3 bench/run.py [--quick] [--json FILE]

1. Replays every flow profile on both implementations and compares every
   result (fills with quantities, prices and the orders they name, cancels,
   queries) and the final books; prints no timing unless they all agree.
2. Median cost of one call per operation, against a floor: one bound C method
   call with one argument (dict.get) in the same loop shape, timed right after
   each run; "x floor" is the median of the runs' multiples.  A reference row
   without a target looks the same shuffled ids up in a dict, to show what the
   access pattern alone costs at the moment of the run.  Inputs are built
   before the clock starts; the cyclic GC is off while a loop runs and collects
   once before each operation's runs.
3. Whole-replay throughput of each profile (GC on, as in an application), runs of
   both implementations interleaved.
4. Memory per resting order with 10^6 resting orders, in a fresh process.
"""
import argparse
import copy
import gc
import importlib
import json
import os
import pickle
import random
import statistics
import subprocess
import sys
import threading
from itertools import repeat
from operator import attrgetter
from time import perf_counter_ns

import baseline
import flow

HERE = os.path.dirname(os.path.abspath(__file__))
SETTINGS = {
    False: dict(typical=200_000, aggressive=100_000, deep=100_000, n=20_000, cheap=200_000,
                repeats=7, replays=5, budget=60e6, memory=(1_000_000, True)),
    True: dict(typical=20_000, aggressive=10_000, deep=30_000, n=5_000, cheap=50_000,
               repeats=3, replays=3, budget=15e6, memory=(1_000_000, False)),
}


def call0(f, n):
    for _ in repeat(None, n):
        f()


def call1(f, xs):
    for x in xs:
        f(x)


def call2(f, xs):
    for a, b in xs:
        f(a, b)


def call3(f, xs):
    for a, b, c in xs:
        f(a, b, c)


def clock(loop, f, xs):
    """Nanoseconds taken by loop(f, xs), with the cyclic GC held off."""
    gc.disable()
    try:
        t = perf_counter_ns()
        loop(f, xs)
        return perf_counter_ns() - t
    finally:
        gc.enable()


class Inputs:
    """Everything the timed loops of one implementation need, built up front.

    orders: non-crossing (buys 9000-9999 ticks, sells 10001-11000) in random
    order; resting/takers: sells of 1.0 at 4 per level and buys of 2.5 that
    each take about 3 of them across one or two levels; deep: the book left by
    the deep flow."""

    def __init__(self, mod, n, deep_events):
        rng = random.Random(7)
        self.mod = mod
        buy, sell = mod.OrderType.Buy, mod.OrderType.Sell
        self.args, self.prices = [], []
        for _ in range(n):
            s = rng.randrange(2)
            ticks = 9_999 - rng.randrange(1_000) if s == 0 else 10_001 + rng.randrange(1_000)
            q = rng.choice(flow.LOTS)
            self.args.append(((buy, sell)[s], ticks, q))
            self.prices.append(((buy, sell)[s], ticks * flow.TICK, q))
        self.orders = [mod.Order(*a) for a in self.args]
        self.ids = [o.id for o in self.orders]
        rng.shuffle(self.ids)
        self.resting = [mod.Order(sell, 10_001 + i // 4, 1.0) for i in range(3 * n)]
        self.takers = [mod.Order(buy, 1_000_000, 2.5) for _ in range(n)]
        self.full = self.book(self.orders)
        self.by_id = dict.fromkeys(self.ids)
        # Level look-ups at the prices where orders rest; amendments that move each order one
        # tick away from the touch (it leaves its level and enters again, trading nothing), and
        # amendments that lower its quantity (it stays where it is).
        self.levels = [(o.side, o.price_in_ticks) for o in self.orders]
        rng.shuffle(self.levels)
        self.amends = [(o.id, None, o.price_in_ticks + (-1 if o.side == buy else 1)) for o in self.orders]
        rng.shuffle(self.amends)
        self.lowers = [(o.id, o.quantity / 2, None) for o in self.orders]
        rng.shuffle(self.lowers)
        self.deep = flow.replay(mod, deep_events)

    def book(self, orders=()):
        b = self.mod.OrderBook(flow.TICK)
        call1(b.add, orders)
        return b


def floor_run(s):
    """ns of one d.get(k) call: a bound C method with one argument."""
    keys = [str(i) for i in range(1_000)]
    d, rng = dict.fromkeys(keys), random.Random(3)
    lookups = [rng.choice(keys) for _ in range(s["cheap"])]
    return lambda: clock(call1, d.get, lookups) / len(lookups)


def operations(x, s):
    """(name, timed run of n calls -> ns, n or None to calibrate, target) per operation."""
    n, cheap, deep = s["n"], s["cheap"], x.deep
    return [
        ("Order(...)", lambda: clock(call3, x.mod.Order, x.args), n, ("floor", 15)),
        ("create_order", lambda: clock(call3, x.full.create_order, x.prices), n, ("floor", 15)),
        ("add, no trade", lambda: clock(call1, x.book().add, x.orders), n, ("floor", 8)),
        ("add, ~3 fills", lambda: clock(call1, x.book(x.resting).add, x.takers), n, ("floor", 25)),
        ("cancel", lambda: clock(call1, x.book(x.orders).cancel, x.ids), n, ("floor", 8)),
        ("get_order", lambda: clock(call1, x.full.get_order, x.ids), n, ("floor", 8)),
        # No target: what the loops over ids above pay for their access pattern alone (the same
        # shuffled id strings, looked up in a dict keyed by them), on this machine at this moment.
        ("ref: dict.get(id)", lambda: clock(call1, x.by_id.get, x.ids), n, ("reference", None)),
        ("take, no trade", lambda: clock(call1, x.book().take, x.orders), n, ("as", "add, no trade")),
        ("amend, new price", lambda: clock(call3, x.book(x.orders).amend, x.amends), n, ("as", "add, no trade")),
        ("amend, lower qty", lambda: clock(call3, x.book(x.orders).amend, x.lowers), n, ("as", "add, no trade")),
        ("queue_position", lambda: clock(call1, x.full.queue_position, x.ids), n, ("floor", 8)),
        ("volume_at", lambda: clock(call2, x.full.volume_at, x.levels), n, ("floor", 8)),
        ("depth(10)", lambda: clock(call0, x.full.depth, cheap), cheap, ("ns", 1000)),
        ("best_bid", lambda: clock(call0, x.full.best_bid, cheap), cheap, ("floor", 4)),
        ("best_ask", lambda: clock(call0, x.full.best_ask, cheap), cheap, ("floor", 4)),
        ("spread", lambda: clock(call0, x.full.spread, cheap), cheap, ("floor", 4)),
        ("buy_volume, deep", lambda k: clock(call0, deep.buy_volume, k), None, ("faster", 20)),
        ("repr, deep", lambda k: clock(call1, repr, [deep] * k), None, ("faster", 20)),
        ("buy_orders, deep", lambda k: clock(call1, attrgetter("buy_orders"), [deep] * k), None,
         ("faster", 10)),
    ]


def per_call(run, n, s, floor=None):
    """Median ns per call over the repeats; with `floor`, also the median of floor
    runs interleaved with them and the median of each run's multiple of the floor
    run right after it, so that both sides of a ratio see the same machine load."""
    if n is None:  # calibrate: about `budget` ns per timed run
        n = max(3, min(20_000, int(s["budget"] / max(run(1), 1))))
        run = (lambda r, k: lambda: r(k))(run, n)
    times, floors = [], []
    # Collected once here, not between building a run's inputs and timing it: a full collection
    # walks every tracked object and would push the freshly built book out of the caches.
    gc.collect()
    for _ in range(s["repeats"]):
        times.append(run() / n)
        if floor:
            floors.append(floor())
    if not floor:
        return statistics.median(times), None, None
    multiples = [t / f for t, f in zip(times, floors)]
    return statistics.median(times), statistics.median(floors), statistics.median(multiples)


def same_queries(ours, theirs):
    """The research queries give the same results on both full books (ids in the same order)."""
    def results(x):
        return (x.full.depth(), x.full.depth(10_000), [x.full.volume_at(*q) for q in x.levels[:2_000]],
                [x.full.queue_position(i) for i in x.ids[:2_000]])
    return results(ours) == results(theirs)


def check(impl, profiles):
    for name, events in profiles.items():
        a, b = flow.record(impl, events), flow.record(baseline, events)
        if a == b:
            print(f"  {name:<10} {len(events):>7} events: identical")
            continue
        i = next((i for i, (p, q) in enumerate(zip(a, b)) if p != q), min(len(a), len(b)))
        what = f"event {i} {events[i]}" if i < len(events) else f"final book, item {i - len(events)}"
        print(f"  {name}: MISMATCH at {what}\n    {impl.__name__}: {a[i] if i < len(a) else '-'}"
              f"\n    baseline: {b[i] if i < len(b) else '-'}")
        return False
    return True


MEMORY = r"""
import sys
sys.path.insert(0, sys.argv[3])
mod, n = __import__(sys.argv[1]), int(sys.argv[2])
def status():
    with open("/proc/self/status") as f:
        d = dict(line.split(":", 1) for line in f)
    return [int(d[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM")]
book = mod.OrderBook(0.01)
Order, add, buy, sell = mod.Order, book.add, mod.OrderType.Buy, mod.OrderType.Sell
rss0, _ = status()
for i in range(n // 2):
    add(Order(buy, 9_999 - i % 2_000, 1.0))
    add(Order(sell, 10_001 + i % 2_000, 1.0))
print(rss0, *status())
"""


def batch_replay(mod, events, s):
    """Events per second of OrderBook.replay against the fastest per-call loop over the same
    events (runs of both interleaved), and of two books replaying in two threads at once."""
    array = flow.replay_events(mod, events)
    rows = [tuple(r) for r in array.tolist()]
    book = lambda: mod.OrderBook(flow.TICK)
    replayed, looped = book(), flow.per_call_replay(mod, rows)
    replayed.replay(array)
    if (repr(replayed), replayed.depth(100)) != (repr(looped), looped.depth(100)):
        sys.exit("replay() and the per-call loop left different books; no timings")

    def timed(run):
        t = perf_counter_ns()
        run()
        return perf_counter_ns() - t

    def two_threads():
        books = [book(), book()]
        threads = [threading.Thread(target=b.replay, args=(array,)) for b in books]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    batch, per_call, two = [], [], []
    for _ in range(s["replays"]):
        b = book()
        batch.append(timed(lambda: b.replay(array)))
        per_call.append(timed(lambda: flow.per_call_replay(mod, rows)))
        two.append(timed(two_threads))
    n = len(array)
    one_rate = n / statistics.median(batch) * 1e9
    loop_rate = n / statistics.median(per_call) * 1e9
    two_rate = 2 * n / statistics.median(two) * 1e9
    print(f"\nBatch replay of the typical profile ({n} adds and cancels), median of {s['replays']}")
    print(f"{'replay(events)':<26} {one_rate:>12,.0f} ev/s   >= 10,000,000 ev/s  {'met' if one_rate >= 1e7 else 'NOT MET'}")
    print(f"{'per-call loop, same events':<26} {loop_rate:>12,.0f} ev/s   "
          f"replay {one_rate / loop_rate:.1f}x  >= 4x  {'met' if one_rate >= 4 * loop_rate else 'NOT MET'}")
    print(f"{'two books, two threads':<26} {two_rate:>12,.0f} ev/s   "
          f"{two_rate / one_rate:.2f}x one thread  >= 1.6x  {'met' if two_rate >= 1.6 * one_rate else 'NOT MET'}")
    # The deep profile (bench/flow.py): 50,000 orders on 40 levels a side, then adds, cancels and
    # amendments of random resting orders; the setup is replayed untimed.
    setup, deep = flow.deep_replay_events(mod)
    deep_times = []
    for _ in range(s["replays"]):
        b = book()
        b.replay(setup)
        deep_times.append(timed(lambda: b.replay(deep)))
    deep_rate = len(deep) / statistics.median(deep_times) * 1e9
    print(f"{'deep profile, replay':<26} {deep_rate:>12,.0f} ev/s   >= 5,000,000 ev/s  "
          f"{'met' if deep_rate >= 5e6 else 'NOT MET'}  ({len(setup):,} resting, {len(deep):,} events)")
    return dict(events=n, replay_events_per_s=one_rate, per_call_events_per_s=loop_rate,
                two_threads_events_per_s=two_rate, deep_replay_events_per_s=deep_rate)


def snapshots(mod, n):
    """Time of copy.copy, pickle.dumps and pickle.loads of a book of n resting orders, and the
    pickle's size."""
    book = mod.OrderBook(0.01)
    Order, add, buy, sell = mod.Order, book.add, mod.OrderType.Buy, mod.OrderType.Sell
    for i in range(n // 2):
        add(Order(buy, 9_999 - i % 2_000, 1.0))
        add(Order(sell, 10_001 + i % 2_000, 1.0))
    gc.collect()
    result = {}
    for what, run in (("copy", lambda: copy.copy(book)), ("pickle", lambda: pickle.dumps(book, 5))):
        t = perf_counter_ns()
        made = run()
        result[what + "_ns_per_order"] = (perf_counter_ns() - t) / n
        del made
    state = pickle.dumps(book, 5)
    t = perf_counter_ns()
    restored = pickle.loads(state)
    result["unpickle_ns_per_order"] = (perf_counter_ns() - t) / n
    result["pickle_bytes_per_order"] = len(state) / n
    assert repr(restored) == repr(book)
    return result


def memory(name, n):
    out = subprocess.run([sys.executable, "-c", MEMORY, name, str(n), HERE],
                         capture_output=True, text=True, check=True).stdout
    rss0, rss1, hwm = map(int, out.split())
    return dict(orders=n, final_bytes_per_order=(rss1 - rss0) / n, peak_bytes_per_order=(hwm - rss0) / n)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller runs, under half a minute")
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    ap.add_argument("--impl", default="varnholt", help=argparse.SUPPRESS)
    args = ap.parse_args()
    start = perf_counter_ns()
    s = SETTINGS[args.quick]
    try:
        impl = importlib.import_module(args.impl)
    except ImportError as e:
        print(f"cannot import {args.impl} ({e}): build and install it first")
        return 2
    name = impl.__name__
    print(f"{name} from {getattr(impl, '__file__', '?')}, Python {sys.version.split()[0]}")
    profiles = {p: flow.generate(p, s[p]) for p in ("typical", "aggressive", "deep")}

    print("\nSame results on both")
    if not check(impl, profiles):
        print("results differ: no timings")
        return 1
    result = dict(implementation=name, python=sys.version.split()[0], quick=args.quick, ops=[], replay=[])

    print(f"\nCost per call, median of {s['repeats']} runs (floor runs interleaved)")
    print(f"{'operation':<18} {name + ' ns':>12} {'x floor':>8} {'baseline ns':>12} {'speedup':>8}  target")
    floor = floor_run(s)
    f0 = statistics.median(floor() for _ in range(s["repeats"]))
    print(f"{'floor: d.get(k)':<18} {f0:>12,.0f} {1:>8.1f}")
    result["floor_ns"] = f0
    ours, theirs = Inputs(impl, s["n"], profiles["deep"]), Inputs(baseline, s["n"], profiles["deep"])
    if not same_queries(ours, theirs):
        print("depth, volume_at or queue_position differ from the baseline: no timings")
        return 1
    measured = {}
    for (op, run, n, (kind, k)), (_, run_b, _, _) in zip(operations(ours, s), operations(theirs, s)):
        v, f, multiple = per_call(run, n, s, floor)
        measured[op] = v
        if kind == "reference":
            print(f"{op:<18} {v:>12,.0f} {multiple:>8.1f} {'':>12} {'':>8}  (no target)")
            result["ops"].append(dict(operation=op, ns=v, floor_ns=f, floor_multiple=multiple))
            continue
        b, _, _ = per_call(run_b, n, s)
        met = {"floor": lambda: multiple <= k, "faster": lambda: b >= k * v, "ns": lambda: v <= k,
               "as": lambda: v <= measured[k]}[kind]()
        goal = {"floor": lambda: f"<= {k}x floor", "faster": lambda: f">= {k}x faster",
                "ns": lambda: f"<= {k:,} ns", "as": lambda: f"<= {k}"}[kind]()
        print(f"{op:<18} {v:>12,.0f} {multiple:>8.1f} {b:>12,.0f} {b / v:>8.1f}  {goal}  {'met' if met else 'NOT MET'}")
        result["ops"].append(dict(operation=op, ns=v, floor_ns=f, floor_multiple=multiple, baseline_ns=b,
                                  speedup=b / v, target=goal, met=met))
    del ours, theirs

    print(f"\nWhole replay, median of {s['replays']} (runs of both interleaved)")
    print(f"{'profile':<11} {'events':>8} {name + ' ev/s':>14} {'baseline ev/s':>14} {'speedup':>8}")
    for p, events in profiles.items():
        # The two implementations take turns, first one then the other, so that both see the
        # same machine load; each replay starts from a new book.
        times = {impl: [], baseline: []}
        for r in range(s["replays"]):
            for mod in (impl, baseline) if r % 2 == 0 else (baseline, impl):
                t = perf_counter_ns()
                flow.replay(mod, events)
                times[mod].append(perf_counter_ns() - t)
        v, b = (len(events) / statistics.median(times[mod]) * 1e9 for mod in (impl, baseline))
        goal = ""
        if p == "typical":
            goal = "  >= 8x baseline  " + ("met" if v >= 8 * b else "NOT MET")
        print(f"{p:<11} {len(events):>8} {v:>14,.0f} {b:>14,.0f} {v / b:>8.1f}{goal}")
        result["replay"].append(dict(profile=p, events=len(events), events_per_s=v,
                                     baseline_events_per_s=b, speedup=v / b))

    if hasattr(impl.OrderBook, "replay"):
        result["batch"] = batch_replay(impl, profiles["typical"], s)

    n, with_baseline = s["memory"]
    print(f"\nMemory per resting order, {n:,} resting orders")
    result["memory"] = {name: memory(name, n)}
    if with_baseline:
        result["memory"]["baseline"] = memory("baseline", n)
    for m, r in result["memory"].items():
        print(f"{m:<10} peak {r['peak_bytes_per_order']:>6.0f} B   final {r['final_bytes_per_order']:>6.0f} B")

    print(f"\nCopies and pickles of a book of {n:,} resting orders")
    r = result["snapshots"] = snapshots(impl, n)
    print(f"copy.copy     {r['copy_ns_per_order'] * n / 1e6:>7.0f} ms  {r['copy_ns_per_order']:>5.0f} ns/order"
          f"   (target: a few hundred ms)")
    print(f"pickle.dumps  {r['pickle_ns_per_order'] * n / 1e6:>7.0f} ms  {r['pickle_ns_per_order']:>5.0f} ns/order"
          f"   {r['pickle_bytes_per_order']:.0f} bytes/order (target: about the book's own memory)")
    print(f"pickle.loads  {r['unpickle_ns_per_order'] * n / 1e6:>7.0f} ms  {r['unpickle_ns_per_order']:>5.0f} ns/order")

    print(f"\n{(perf_counter_ns() - start) / 1e9:.0f} s in all")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
