"""A market-making strategy over a recorded flow: varnholt's replay handing control back only when
the strategy cares, against a pure-Python book that calls the strategy after every event.

    python3 bench/strategy.py [--quick]

The strategy quotes one lot on each side at the touch (joining the best bid and ask), requotes
when a best price moves or one of its quotes trades, and past an inventory limit cancels its
quotes and hedges the whole inventory with an immediate-or-cancel order at the opposite touch.
Both paths run the same decisions (one Strategy class) over the same events (bench/flow.py's
adds and cancels):

- varnholt: `book.replay(events, start=..., touch=True, watch=<its two quote refs>, out=...)`
  runs the market until the touch changes or a quote trades; the strategy then looks at the
  book and acts with add_as / cancel / take, and replay goes on from `result.next`.
- baseline: bench/baseline.py's pure-Python book, one add or cancel per event, with the strategy
  called after every one (it reads the best prices and the event's fills).

Both must give the strategy the same fills (checked before any timing is printed). Each row is
the median of interleaved runs of the two paths.
"""
import argparse
import gc
import statistics
import sys
from time import perf_counter_ns

import numpy as np

import baseline
import flow
import varnholt

QUOTE = 1.0          # lots quoted on each side
LIMIT = 3.0          # inventory past which the strategy hedges
OWN_REFS = 1 << 40   # refs of the strategy's quotes, above every ref of the flow
SETTINGS = {False: dict(typical=200_000, deep=100_000, runs=5), True: dict(typical=30_000, deep=20_000, runs=3)}


class Strategy:
    """The decisions, shared by both paths: `engine` says how they reach the book."""

    def __init__(self, engine):
        self.engine, self.inventory, self.fills = engine, 0.0, []
        self.quotes = [None, None]   # (price, handle) of the bid and the ask, or None
        self.seen = None             # the best prices at the last decision

    def filled(self, side, price, quantity, how):
        self.inventory += quantity if side == 0 else -quantity
        self.fills.append((how, side, price, quantity))

    def decide(self, best):
        """After an event where the best prices moved or a quote traded."""
        engine = self.engine
        if abs(self.inventory) > LIMIT:
            for side in (0, 1):
                self.withdraw(side)
            side = 1 if self.inventory > 0 else 0
            touch = best[0] if side == 1 else best[1]
            if touch is not None:
                for price, quantity in engine.take(side, touch, abs(self.inventory)):
                    self.filled(side, price, quantity, "hedge")
            best = engine.best()
        if best[0] is not None and best[1] is not None:
            for side in (0, 1):
                quote = self.quotes[side]
                if quote is None or quote[0] != best[side]:
                    self.withdraw(side)
                    self.quotes[side] = (best[side], engine.quote(side, best[side], QUOTE))
            best = engine.best()
        self.seen = best

    def withdraw(self, side):
        quote = self.quotes[side]
        if quote is not None:
            self.engine.cancel(quote[1])
            self.quotes[side] = None


class VarnholtPath:
    def __init__(self, events):
        self.events = events
        self.book = varnholt.OrderBook(flow.TICK)
        self.next_ref = OWN_REFS
        self.sides = (varnholt.OrderType.Buy, varnholt.OrderType.Sell)

    def best(self):
        bid, ask = self.book.best_bid(), self.book.best_ask()
        return (bid[0] if bid else None, ask[0] if ask else None)

    def quote(self, side, price, quantity):
        self.next_ref += 1
        self.book.add_as(varnholt.Order(self.sides[side], price, quantity), self.next_ref)
        return self.next_ref

    def cancel(self, ref):
        order_id = self.book.order_id(ref)
        if order_id is not None:   # None: it has traded away
            self.book.cancel(order_id)

    def take(self, side, price, quantity):
        made = self.book.take(varnholt.Order(self.sides[side], price, quantity))
        return [(round(f.price / flow.TICK), f.quantity) for f in made]

    def run(self):
        strategy = Strategy(self)
        replay, book, events = self.book.replay, self.book, self.events
        out, at, end = None, 0, len(events) // 26   # packed 26-byte events
        strategy.decide(self.best())
        while at < end:
            quotes = strategy.quotes
            watch = [q[1] for q in quotes if q is not None]
            out = replay(events, start=at, touch=True, watch=watch, out=out)
            at = out.next
            traded = False
            if out.stopped & book.STOP_FILL:
                for _, resting, _, price, quantity, _ in out.fills:
                    for side in (0, 1):
                        if quotes[side] is not None and quotes[side][1] == resting:
                            strategy.filled(side, price, quantity, "quote")
                            traded = True
            if out.stopped:
                best = self.best()
                if traded or best != strategy.seen:
                    strategy.decide(best)
        return strategy.fills


class BaselinePath:
    def __init__(self, rows):
        self.rows = rows
        self.book = baseline.OrderBook(flow.TICK)

    def best(self):
        bid, ask = self.book.best_bid(), self.book.best_ask()
        return (bid[0] if bid else None, ask[0] if ask else None)

    def quote(self, side, price, quantity):
        order = baseline.Order(side, price, quantity)
        self.book.add(order)
        return order.id

    def cancel(self, order_id):
        self.book.cancel(order_id)

    def take(self, side, price, quantity):
        made = self.book.take(baseline.Order(side, price, quantity))
        return [(round(f.price / flow.TICK), f.quantity) for f in made]

    def run(self):
        strategy = Strategy(self)
        book, Order = self.book, baseline.Order
        add, cancel, best = book.add, book.cancel, self.best
        ids = {}
        strategy.decide(best())
        for kind, side, price, quantity, ref in self.rows:
            traded = False
            if kind == 0:
                order = Order(side, price, quantity)
                ids[ref] = order.id
                quotes = strategy.quotes
                for fill in add(order):
                    for own in (0, 1):
                        quote = quotes[own]
                        if quote is not None and quote[1] in (fill.buy_id, fill.sell_id):
                            strategy.filled(own, round(fill.price / flow.TICK), fill.quantity, "quote")
                            traded = True
            else:
                order_id = ids.get(ref)
                if order_id is not None:
                    cancel(order_id)
            # The callback after every event.
            now = best()
            if traded or now != strategy.seen:
                strategy.decide(now)
        return strategy.fills


def timed(run):
    gc.collect()
    start = perf_counter_ns()
    result = run()
    return perf_counter_ns() - start, result


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller runs")
    args = ap.parse_args()
    s = SETTINGS[args.quick]
    print(f"varnholt from {varnholt.__file__}, Python {sys.version.split()[0]}")
    print(f"\nStrategy over the flow, median of {s['runs']} interleaved runs")
    print(f"{'book':<10} {'events':>8} {'stops':>8} {'own fills':>9} {'varnholt ms':>12} {'baseline ms':>12} "
          f"{'speed-up':>9}  target")
    for profile, target in (("typical", 5), ("deep", 10)):
        array = flow.replay_events(varnholt, flow.generate(profile, s[profile]))
        # A cancel of a ref no order took (-1 in the flow) names the flow's length: kept as it is.
        rows = [tuple(r) for r in array.tolist()]
        packed = array.tobytes()
        ours = VarnholtPath(packed).run()
        theirs = BaselinePath(rows).run()
        if ours != theirs:
            sys.exit(f"{profile}: the two paths gave the strategy different fills; no timings")
        stops = count_stops(packed)
        fast, slow = [], []
        for _ in range(s["runs"]):
            fast.append(timed(VarnholtPath(packed).run)[0])
            slow.append(timed(BaselinePath(rows).run)[0])
        speedup = statistics.median(b / a for a, b in zip(fast, slow))
        print(f"{profile:<10} {len(rows):>8,} {stops:>8,} {len(ours):>9,} {statistics.median(fast) / 1e6:>12,.1f} "
              f"{statistics.median(slow) / 1e6:>12,.1f} {speedup:>8.1f}x  >= {target}x  "
              f"{'met' if speedup >= target else 'NOT MET'}")
    return 0


def count_stops(packed):
    """How many replay calls the varnholt path makes (the strategy's decisions take no events)."""
    path = VarnholtPath(packed)
    calls = [0]
    replay = path.book.replay

    def counted(*a, **k):
        calls[0] += 1
        return replay(*a, **k)
    path.book = Counting(path.book, counted)
    path.run()
    return calls[0]


class Counting:
    """The book with its replay counted."""

    def __init__(self, book, replay):
        self._book, self.replay = book, replay

    def __getattr__(self, name):
        return getattr(self._book, name)


if __name__ == "__main__":
    sys.exit(main())
