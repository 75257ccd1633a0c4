"""What replay's stop conditions and self-trade prevention cost, on bench/run.py's typical flow.

    python bench/stops.py [--events N] [--runs R]

Each row is the median of R runs, interleaved with the others, of a replay of the whole flow on a
fresh book (ns per event), against the same replay without the feature:
- watch: four references that never trade (every fill is looked up, none stops it);
- queue: four resting orders low in the bid side (a walk only when an event changes their level);
- touch: stops on every change of the best bid or ask, and goes on from result.next each time
  (what a strategy loop that requotes on touch changes pays, Python's loop included);
- owner + policy: the replay's orders carry an owner and the book prevents self-trades, so every
  resting order a sweep meets is compared (no order of that owner rests: nothing is prevented).
And one call: add_as of an order that rests, with and without a policy, against add.
"""
import argparse
import os
import statistics
import sys
from time import perf_counter_ns

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flow  # noqa: E402
import varnholt  # noqa: E402
from varnholt import Order, OrderBook, OrderType  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=200_000)
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    array = flow.replay_events(varnholt, flow.generate("typical", args.events, seed=3))
    n = len(array)
    # Four orders that rest through the whole flow, far below the touch, and four refs never used.
    low = [(OrderBook.ADD, 0, 1 + k, 1.0, 10**9 + k) for k in range(4)]
    deep = __import__("numpy").array(low, dtype=array.dtype)
    never = [2**40 + k for k in range(4)]

    def book(policy=OrderBook.STP_OFF):
        made = OrderBook(flow.TICK)
        made.self_trade = policy
        made.replay(deep)
        return made

    def through(conditions):
        def run(made):
            at = 0
            calls = 0
            while at < n:
                at = made.replay(array, start=at, **conditions).next
                calls += 1
            return calls
        return run

    rows = {
        "plain": (lambda: book(), lambda b: b.replay(array)),
        "watch (4 refs)": (lambda: book(), lambda b: b.replay(array, watch=never)),
        "queue (4 refs)": (lambda: book(), lambda b: b.replay(array, queue=[10**9 + k for k in range(4)])),
        "owner + policy": (lambda: book(OrderBook.STP_CANCEL_RESTING), lambda b: b.replay(array, owner=1)),
        "touch, to the end": (lambda: book(), through({"touch": True})),
    }
    times = {name: [] for name in rows}
    calls = 0
    for _ in range(args.runs):
        for name, (make, run) in rows.items():
            made = make()
            start = perf_counter_ns()
            result = run(made)
            times[name].append(perf_counter_ns() - start)
            if name.startswith("touch"):
                calls = result
    plain = statistics.median(times["plain"]) / n
    print(f"replay of {n} events (typical flow), median of {args.runs} interleaved runs")
    for name, runs in times.items():
        per_event = statistics.median(runs) / n
        print(f"{name:<22} {per_event:7.1f} ns/event  ({per_event - plain:+.1f})")
    print(f"touch: {calls} calls, one per {n / calls:.1f} events")

    # One call each: add of a resting order, add_as without and with a self-trade policy.
    def per_call(policy, use_ref):
        made = OrderBook(flow.TICK)
        made.self_trade = policy
        orders = [Order(OrderType.Buy, 1000 + k % 50, 1.0) for k in range(20_000)]
        start = perf_counter_ns()
        if use_ref:
            add_as = made.add_as
            for k, order in enumerate(orders):
                add_as(order, k, 1)
        else:
            add = made.add
            for order in orders:
                add(order)
        return (perf_counter_ns() - start) / len(orders)

    cases = {"add": (OrderBook.STP_OFF, False), "add_as": (OrderBook.STP_OFF, True),
             "add_as, policy on": (OrderBook.STP_DECREMENT, True)}
    samples = {name: [] for name in cases}
    for _ in range(args.runs):
        for name, (policy, use_ref) in cases.items():
            samples[name].append(per_call(policy, use_ref))
    for name, values in samples.items():
        print(f"{name:<22} {statistics.median(values):7.1f} ns/call")


if __name__ == "__main__":
    main()
