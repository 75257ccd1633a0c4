"""Machine instructions per call of the per-call operations, counted by callgrind.

Wall-clock figures on a shared machine move with its load; counted instructions do not (the same
binary, inputs and environment give the same count). Each operation runs in a child process under
`valgrind --tool=callgrind` twice, with `small` and `large` calls after the same setup; the
difference of the two totals divided by the difference of the call counts is what one call costs,
the setup and the interpreter's start-up cancelling out. The floor row is `d.get(k)`, the cheapest
call into C, counted the same way.

    python3 bench/instructions.py            # every operation
    python3 bench/instructions.py add cancel # some of them
    python3 bench/instructions.py --json out.json

The counts include the interpreter's own loop around each call (about 200 instructions per call
for the plain loops used here), so the floor row is the fair thing to compare against.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

BOOK_ORDERS = 20_000
SMALL, LARGE = 2_000, 12_000


def _setup(op, calls):
    """(function, list of argument tuples) for `calls` calls of `op` on a fresh 20,000-order book."""
    from varnholt import Order, OrderBook, OrderType

    rng = random.Random(7)
    buy, sell = OrderType.Buy, OrderType.Sell
    args = []
    for _ in range(BOOK_ORDERS + calls):
        side = rng.randrange(2)
        ticks = 9_999 - rng.randrange(1_000) if side == 0 else 10_001 + rng.randrange(1_000)
        args.append(((buy, sell)[side], ticks, rng.choice((1.0, 2.0, 5.0, 10.0))))
    resting = [Order(*a) for a in args[:BOOK_ORDERS]]
    book = OrderBook(0.01)
    for o in resting:
        book.add(o)
    ids = [o.id for o in resting]
    rng.shuffle(ids)
    picks = [ids[i % len(ids)] for i in range(calls)]
    fresh = [Order(*a) for a in args[BOOK_ORDERS:]]
    if op == "floor":
        keys = [str(i) for i in range(1_000)]
        d = dict.fromkeys(keys)  # hashes the keys once, as the ids' hashes are cached too
        return d.get, [(keys[i % 1_000],) for i in range(calls)]
    if op == "Order(...)":
        return Order, args[BOOK_ORDERS:]
    if op == "add":
        return book.add, [(o,) for o in fresh]
    if op == "add, ~3 fills":
        takers = OrderBook(0.01)
        for i in range(3 * calls):
            takers.add(Order(sell, 10_001 + i // 4, 1.0))
        return takers.add, [(Order(buy, 1_000_000, 2.5),) for _ in range(calls)]
    if op == "cancel":
        return book.cancel, [(i,) for i in ids[:calls]]
    if op == "get_order":
        return book.get_order, [(i,) for i in picks]
    if op == "queue_position":
        return book.queue_position, [(i,) for i in picks]
    if op == "volume_at":
        return book.volume_at, [(o.side, o.price_in_ticks) for o in resting[:calls]]
    if op == "amend, lower qty":
        return book.amend, [(i, 0.5, None) for i in ids[:calls]]
    if op == "best_bid":
        return book.best_bid, [()] * calls
    if op == "depth(10)":
        return book.depth, [()] * calls
    if op == "replay, per event":
        import numpy as np

        rows = [(OrderBook.ADD, int(o.side),
                 o.price_in_ticks, o.quantity, BOOK_ORDERS + k) for k, o in enumerate(fresh)]
        events = np.array(rows, dtype=np.dtype(OrderBook.EVENT_FIELDS))
        # One call replaying the first `calls` events: the per-event cost, not the per-call one.
        return (lambda count: book.replay(events[:count])), "events"
    raise SystemExit(f"unknown operation {op!r}")


OPERATIONS = ["floor", "Order(...)", "add", "add, ~3 fills", "cancel", "get_order", "queue_position",
              "volume_at", "amend, lower qty", "best_bid", "depth(10)", "replay, per event"]


def child(op, calls):
    # The setup is the same whatever the number of calls, so that it cancels out.
    function, arguments = _setup(op, LARGE)
    if arguments == "events":
        function(calls)
        return
    for a in arguments[:calls]:
        function(*a)


def count(op, calls):
    """Total instructions of a child process that sets up and makes `calls` calls of `op`."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
             "--child", op, str(calls)],
            capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0", PYTHONMALLOC="malloc"))
        found = re.search(r"Collected : (\d+)", run.stderr)
        if run.returncode != 0 or not found:
            raise SystemExit(f"callgrind failed for {op}:\n{run.stderr[-2000:]}")
        return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("operations", nargs="*", help=f"a subset of: {', '.join(OPERATIONS)}")
    parser.add_argument("--json", help="also write the counts to this file")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(options.child[0], int(options.child[1]))
        return
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed (Debian: apt-get install valgrind)")
    chosen = options.operations or OPERATIONS
    results = {}
    print(f"Instructions per call (callgrind; {SMALL:,} and {LARGE:,} calls on a "
          f"{BOOK_ORDERS:,}-order book)")
    print(f"{'operation':<20} {'instructions':>12} {'x floor':>8}")
    floor = None
    for op in (["floor"] if "floor" not in chosen else []) + chosen:
        per_call = (count(op, LARGE) - count(op, SMALL)) / (LARGE - SMALL)
        if op == "floor":
            floor = per_call
        results[op] = per_call
        print(f"{op:<20} {per_call:>12,.0f} {per_call / floor:>8.1f}", flush=True)
    if options.json:
        with open(options.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
