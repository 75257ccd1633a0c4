"""A quoting strategy backtested on market-by-order history, several variants in one pass.

Usage::

    python3 examples/backtest.py [FILE] [--events N] [--offsets 0,1,2] [--bands 1,3] [--size 100]

FILE is a LOBSTER message file or zip archive; without it the AMZN level-5 sample archive is read
from the shared LOBSTER folder (``$VARNHOLT_LOBSTER_DATA``, ``../shared/data/lobster`` beside the
clone or ``/work/shared/data/lobster``), or, when there is none, a seeded file is generated into
``examples/data/`` (once).  Each variant quotes a bid ``offset`` ticks under the best bid and an
ask ``offset`` ticks over the best ask, leaves its quotes where they are while the touch stays
within ``band`` ticks of where it quoted (so as to keep their places in the queues), and stops
quoting the side that would take its inventory past ``--limit``.  Latency: the feed 20 us, order
entry 50 us (30 us for cancels), responses 40 us.  Prints, per variant, the PnL (marked at the
last mid price), fills, traded volume, inventory, the calls it got and the time spent in them.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

from varnholt_replay.backtest import Backtest, Context, History, Latency, lobster_history
from varnholt_replay.formats.lobster import message_files_in
from varnholt_replay.testing.generate import lobster_names, write_lobster

HERE = Path(__file__).resolve().parent
SHARED = [Path(os.environ["VARNHOLT_LOBSTER_DATA"])] if "VARNHOLT_LOBSTER_DATA" in os.environ else []
SHARED += [HERE.parents[1] / "shared" / "data" / "lobster", Path("/work/shared/data/lobster")]
SAMPLE = "LOBSTER_SampleFile_AMZN_2012-06-21_5.zip"
TICK = 100  # one cent in LOBSTER prices (dollars x 10000)


class Quoter:
    """Quotes both sides around the touch; requotes when the touch leaves its band."""

    def __init__(self, offset: int, band: int, size: float = 100, limit: float = 500) -> None:
        self.offset, self.band, self.size, self.limit = offset * TICK, band * TICK, size, limit
        self.quotes: list[int | None] = [None, None]  # own order ids: bid, ask
        self.sent = [0, 0]  # the price last sent for each (amendments in flight included)

    def __call__(self, ctx: Context) -> None:
        best_bid, best_ask = ctx.best_bid, ctx.best_ask
        if best_bid is None or best_ask is None:
            ctx.wait(touch=True, acks=False)
            return
        targets = (best_bid[0] - self.offset, best_ask[0] + self.offset)
        allowed = (ctx.position + self.size <= self.limit, ctx.position - self.size >= -self.limit)
        for side, (target, ok) in enumerate(zip(targets, allowed)):
            order = self.quotes[side]
            known = ctx.orders.get(order) if order is not None else None
            if known is not None and not known.open:
                order = self.quotes[side] = None
            if not ok:
                if order is not None:
                    ctx.cancel(order)
                    self.quotes[side] = None
            elif order is None:
                self.quotes[side] = (ctx.sell if side else ctx.buy)(target, self.size)
                self.sent[side] = target
            elif self.sent[side] != target:
                ctx.amend(order, price_in_ticks=target)
                self.sent[side] = target
        band = self.band
        ctx.wait(touch=False, acks=False, bid_between=(best_bid[0] - band, best_bid[0] + band),
                 ask_between=(best_ask[0] - band, best_ask[0] + band))


LATENCY = Latency(feed=20_000, entry={"new": 50_000, "amend": 50_000, "cancel": 30_000}, response=40_000)


def message_file(path: str | None) -> str:
    """The message file to replay: the one named, the AMZN sample, or a generated file."""
    if path:
        return message_files_in(path)[0] if path.lower().endswith(".zip") else path
    for folder in SHARED:
        if (folder / SAMPLE).exists():
            return message_files_in(folder / SAMPLE)[0]
    message_name, book_name = lobster_names("SAMPLE", 5)
    data = HERE / "data"
    if not (data / message_name).exists() or not (data / book_name).exists():
        print(f"no LOBSTER sample here: generating one in {data} ...", file=sys.stderr)
        write_lobster(data, 100_000, ticker="SAMPLE", levels=5, seed=7)
    return str(data / message_name)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("file", nargs="?", help="a LOBSTER message file or zip archive")
    parser.add_argument("--events", type=int, help="only the first N events of the history")
    parser.add_argument("--offsets", default="0,1,2", help="ticks away from the touch, comma-separated")
    parser.add_argument("--bands", default="1,3", help="ticks the touch may move before a requote")
    parser.add_argument("--size", type=float, default=100)
    parser.add_argument("--limit", type=float, default=500, help="the most inventory either way")
    args = parser.parse_args(argv)
    path = message_file(args.file)
    started = time.perf_counter()
    events = lobster_history(path)[:args.events]
    history = History.of(events)
    loaded = time.perf_counter()
    variants = [(offset, band) for offset in map(int, args.offsets.split(",")) for band in map(int, args.bands.split(","))]
    outcomes = Backtest(history, LATENCY).run([Quoter(o, b, args.size, args.limit) for o, b in variants])
    finished = time.perf_counter()
    print(f"{Path(path).name}: {len(history):,} events, read and replayed once in {loaded - started:.2f} s; "
          f"{len(variants)} variants in one pass in {finished - loaded:.2f} s")
    print(f"{'offset':>6} {'band':>4} {'PnL':>10} {'fills':>6} {'volume':>8} {'inventory':>9} {'calls':>7} "
          f"{'strategy s':>10}")
    for (offset, band), outcome in zip(variants, outcomes):
        print(f"{offset:>6} {band:>4} {outcome.pnl:>10.2f} {len(outcome.fills):>6} "
              f"{outcome.fills['quantity'].sum():>8.0f} {outcome.position:>9.0f} {outcome.calls:>7} "
              f"{outcome.seconds:>10.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
