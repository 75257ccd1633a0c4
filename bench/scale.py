"""How the cost of book operations scales with the size of the book.

    python3 bench/scale.py [--quick]

Books of 10^4, 10^5 and 10^6 resting orders, and sweeps through 10^3, 10^4 and 10^5
price levels (and through as many orders queued at one level).  Every figure is the
time of the whole batch divided by the work it did (orders or levels), so a flat row
means the cost grows linearly with the work; the last column is the ratio of the
largest size to the smallest.  Inputs are built before the clock starts and the
cyclic GC is off while a batch runs; small sizes take the best of a few runs.
Each table ends with a reference row of plain Python work over the same number of
items: where it grows too, the growth comes from caches and memory, not the book.
Nothing is asserted: this is a report.
"""
import argparse
import gc
import random
import sys
from time import perf_counter_ns

from varnholt import Order, OrderBook, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell


def timed(run, units, repeats):
    """Best ns per unit of `run()` over `repeats` runs; `run` may return a setup-free closure."""
    best = None
    for _ in range(repeats):
        job = run()
        gc.collect()
        gc.disable()
        try:
            start = perf_counter_ns()
            job()
            elapsed = perf_counter_ns() - start
        finally:
            gc.enable()
        best = elapsed if best is None else min(best, elapsed)
    return best / units


def resting_orders(n, rng):
    """n non-crossing orders: buys at 1-5000 ticks, sells at 5001-10000, random order."""
    orders = []
    for _ in range(n):
        if rng.random() < 0.5:
            orders.append(Order(BUY, rng.randint(1, 5_000), float(rng.randint(1, 9))))
        else:
            orders.append(Order(SELL, rng.randint(5_001, 10_000), float(rng.randint(1, 9))))
    return orders


def filled_book(orders):
    book = OrderBook(0.01)
    add = book.add
    for o in orders:
        add(o)
    return book


def book_rows(n, repeats):
    rng = random.Random(n)
    orders = resting_orders(n, rng)
    ids = [o.id for o in orders]
    rng.shuffle(ids)
    book = filled_book(orders)
    bids = sum(o.side == BUY for o in orders)

    def adds():
        fresh = OrderBook(0.01)
        add = fresh.add
        return lambda: [add(o) for o in orders]

    def cancels():
        full = filled_book(orders)
        cancel = full.cancel
        return lambda: [cancel(i) for i in ids]

    lookup, reference = book.get_order, dict.fromkeys(ids).get
    return {
        "add, order rests": timed(adds, n, repeats),
        "cancel": timed(cancels, n, repeats),
        "get_order": timed(lambda: lambda: [lookup(i) for i in ids], n, repeats),
        "buy_orders (per order listed)": timed(lambda: lambda: book.buy_orders, bids, repeats),
        "buy_volume (per order summed)": timed(lambda: lambda: book.buy_volume(), bids, repeats),
        "repr (per order summed)": timed(lambda: lambda: repr(book), n, repeats),
        "reference: dict.get, same keys": timed(lambda: lambda: [reference(i) for i in ids], n, repeats),
    }


def sweep_rows(levels, repeats):
    def across_levels():
        book = filled_book([Order(SELL, 1 + i, 1.0) for i in range(levels)])
        taker = Order(BUY, levels, float(levels))
        return lambda: book.add(taker)

    def within_one_level():
        book = filled_book([Order(BUY, 100, 1.0) for _ in range(levels)])
        taker = Order(SELL, 100, float(levels))
        return lambda: book.add(taker)

    def by_cancels_then_trade():
        # Every other level cancelled first, then one sweep through the rest.
        orders = [Order(SELL, 1 + i, 1.0) for i in range(levels)]
        book = filled_book(orders)
        for o in orders[::2]:
            book.cancel(o.id)
        taker = Order(BUY, levels, float(levels))
        return lambda: book.add(taker)

    def reference():
        # What making `levels` result objects costs on its own.
        return lambda: [(1.0, float(i), "b", "s", i) for i in range(levels)]

    return {
        "sweep across levels (per level)": timed(across_levels, levels, repeats),
        "sweep within one level (per order)": timed(within_one_level, levels, repeats),
        "sweep of a thinned side (per level)": timed(by_cancels_then_trade, levels // 2, repeats),
        "reference: N new 5-tuples in a list": timed(reference, levels, repeats),
    }


def table(title, sizes, rows):
    names = list(rows[0])
    head = "%-38s" % title + "".join("%11s" % ("10^%d" % len(str(s)[1:])) for s in sizes) + "   growth"
    print(head)
    print("-" * len(head))
    for name in names:
        cells = [r[name] for r in rows]
        print("%-38s" % name + "".join("%11.1f" % c for c in cells) + "%9.2fx" % (cells[-1] / cells[0]))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="stop one size short")
    quick = parser.parse_args().quick
    book_sizes = [10_000, 100_000] + ([] if quick else [1_000_000])
    sweep_sizes = [1_000, 10_000] + ([] if quick else [100_000])
    repeats = {1_000: 5, 10_000: 5, 100_000: 3, 1_000_000: 1}
    print("varnholt scaling, ns per unit of work (Python %s)\n" % sys.version.split()[0])
    table("book of N resting orders", book_sizes, [book_rows(n, repeats[n]) for n in book_sizes])
    table("one add sweeping N", sweep_sizes, [sweep_rows(n, repeats[n]) for n in sweep_sizes])


if __name__ == "__main__":
    main()
