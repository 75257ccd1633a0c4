"""Replay an order-flow CSV file through a ``varnholt.OrderBook``.

Usage::

    python3 examples/replay.py [FILE] [--tick-size 0.01] [--on-error skip|stop]
                               [--batch 65536] [--depth-chart FILE.png] [--quiet]

Without FILE the bundled sample ``examples/data/sample_flow.csv`` (100 000
events) is replayed; it is generated first with ``make_sample.py`` if it is
missing.

Input format (UTF-8 text, one event per line, no quoting)::

    event,ref,side,price,quantity          <- header, required as line 1
    add,<ref>,buy|sell,<price>,<quantity>  <- a new limit order
    cancel,<ref>,,,                        <- cancel the order added as <ref>

``ref`` is the client's own reference for an order; the tool maps it to the
book's order id.  ``price`` is a decimal price, turned into ticks by the
book's tick size (``--tick-size``); ``quantity`` is a positive number.  Blank
lines are ignored.  Fills execute at the resting order's price; the book
refuses NaN or infinite quantities.

A bad line (wrong field count, unknown event or side, a price or quantity
that is not a positive number, a price under half a tick, or an ``add`` whose
ref names an order still resting) is reported on stderr with its line number
and skipped (``--on-error skip``, the default) or ends the run with exit code
1 (``--on-error stop``; an add refused for its ref is found when its batch is
applied, so the rest of that batch is in the book by then).  A cancel of a
ref whose order no longer rests (it traded away, or was cancelled) is
counted, not an error.

The lines are read in batches of ``--batch`` events, and each batch goes to
the book in one ``OrderBook.replay`` call (the interpreter lock released while
the book works); progress is reported between batches. At the end the tool
prints the event counts, the fills, traded volume and VWAP, the final book
summary and how fast it went: overall, in the book, and reading the file.
``--depth-chart`` also draws the final book's cumulative depth to a PNG; it needs matplotlib
(``pip install 'varnholt[plot]'``).

Exit codes: 0 done, 1 input error with ``--on-error stop`` or unreadable
file, 2 bad usage or matplotlib missing for ``--depth-chart``.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import sys
import time
from dataclasses import dataclass, field
from itertools import accumulate
from pathlib import Path
from typing import Callable

import numpy as np
import varnholt

HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "data" / "sample_flow.csv"
HEADER = ["event", "ref", "side", "price", "quantity"]
CSV_FORMAT = """\
input format (UTF-8 text, one event per line, no quoting):
  event,ref,side,price,quantity          header, required as line 1
  add,<ref>,buy|sell,<price>,<quantity>  a new limit order
  cancel,<ref>,,,                        cancel the order added as <ref>

  ref is your own reference for an order; price is a decimal price, turned
  into ticks with --tick-size; quantity is a positive number. Blank lines are
  ignored. A cancel of a ref that is not live is counted, not an error.

example:
  event,ref,side,price,quantity
  add,o1,buy,99.95,20
  add,o2,sell,100.02,15
  cancel,o1,,,

exit codes: 0 done, 1 input error with --on-error stop or unreadable file,
2 bad usage or matplotlib missing for --depth-chart"""
SIDES = {"buy": 0, "sell": 1}  # the side codes of replay events
ADD, CANCEL = varnholt.OrderBook.ADD, varnholt.OrderBook.CANCEL  # event kinds
APPLIED = varnholt.OrderBook.APPLIED  # the status of an event that was applied
EVENT = np.dtype(varnholt.OrderBook.EVENT_FIELDS)
NEVER_ADDED = varnholt.OrderBook.NO_REF  # no order is ever entered under it: a cancel of it is unknown
Row = tuple[int, int, int, float, int]


class InputError(Exception):
    """A line of the input that cannot be replayed."""


@dataclass
class Stats:
    events: int = 0
    adds: int = 0
    cancels: int = 0
    late_cancels: int = 0  # cancels of refs whose orders no longer rest
    unknown_cancels: int = 0  # cancels of refs never added
    bad_lines: int = 0
    fills: int = 0
    volume: float = 0.0
    notional: float = 0.0
    read_seconds: float = 0.0
    book_seconds: float = 0.0
    refs: dict[str, int] = field(default_factory=dict)  # client ref -> the number replay knows it by


class Progress:
    """One self-overwriting stderr line, redrawn between batches."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.enabled = enabled and total > 0
        self.shown = False

    def update(self, done: int, events: int) -> None:
        if not self.enabled:
            return
        pct = 100 * done // self.total
        sys.stderr.write(f"\rreplaying: {pct:3d}%  {events} events")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = False


def positive(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise InputError(f"{what} {text!r} is not a number") from None
    if not math.isfinite(value) or value <= 0:
        raise InputError(f"{what} {text!r} is not a positive finite number")
    return value


def ticks(price: float, tick_size: float) -> int:
    """Whole ticks as create_order makes them from a positive price: the nearest, halves up."""
    quotient = price / tick_size
    if quotient >= 2.0**63:
        return 2**63 - 1
    whole = math.floor(quotient)
    # quotient - whole is exact, so 0.49999999999999994 stays down where adding 0.5 would not.
    return whole + 1 if quotient - whole >= 0.5 else whole


@dataclass
class Batch:
    """Lines turned into replay events, and the line each came from."""

    rows: list[Row] = field(default_factory=list)
    lines: list[int] = field(default_factory=list)
    refs: list[str] = field(default_factory=list)


def parse_line(fields: list[str], tick_size: float, st: Stats) -> Row:
    """One data line as a replay event; raise InputError if it is bad."""
    if len(fields) != 5:
        raise InputError(f"expected 5 fields, got {len(fields)}")
    event, ref = fields[0].strip(), fields[1].strip()
    if not ref and event in ("add", "cancel"):
        raise InputError("empty ref")
    if event == "add":
        side = SIDES.get(fields[2].strip().lower())
        if side is None:
            raise InputError(f"side {fields[2]!r} is not buy or sell")
        price = positive(fields[3].strip(), "price")
        quantity = positive(fields[4].strip(), "quantity")
        in_ticks = ticks(price, tick_size)
        if in_ticks <= 0:
            raise InputError(f"price {fields[3].strip()!r} is less than half a tick")
        return (ADD, side, in_ticks, quantity, st.refs.setdefault(ref, len(st.refs)))
    if event == "cancel":
        return (CANCEL, 0, 0, 1.0, st.refs.get(ref, NEVER_ADDED))
    raise InputError(f"unknown event {fields[0]!r} (expected add or cancel)")


def run_batch(book: varnholt.OrderBook, batch: Batch, st: Stats, bad: Callable[[int, str], None]) -> None:
    """One replay call for the batch, and what it did counted."""
    if not batch.rows:
        return
    events = np.array(batch.rows, dtype=EVENT)
    started = time.perf_counter()
    result = book.replay(events)
    st.book_seconds += time.perf_counter() - started
    outcomes = np.asarray(result.events)
    fills = np.asarray(result.fills)
    applied = outcomes["status"] == APPLIED
    adds = events["kind"] == ADD
    st.events += len(events)
    st.adds += int(np.count_nonzero(applied & adds))
    st.cancels += int(np.count_nonzero(applied & ~adds))
    st.unknown_cancels += int(np.count_nonzero(~applied & ~adds & (events["ref"] == NEVER_ADDED)))
    st.late_cancels += int(np.count_nonzero(~applied & ~adds & (events["ref"] != NEVER_ADDED)))
    # The lines are checked before they become events, so an add is only refused for its ref.
    for i in np.flatnonzero(~applied & adds).tolist():
        bad(batch.lines[i], f"ref {batch.refs[i]!r} names an order that is still resting")
    st.fills += len(fills)
    st.volume += float(fills["quantity"].sum())
    st.notional += float((fills["quantity"] * fills["price_in_ticks"]).sum()) * book.tick_size


def replay(path: Path, book: varnholt.OrderBook, stop: bool, quiet: bool, batch_size: int) -> Stats:
    """Replay the file at ``path`` in batches; exit(1) on a bad line when ``stop``."""
    st = Stats()

    def bad(lineno: int, message: str) -> None:
        progress.clear()
        where = f"line {lineno}" if lineno else "input"
        print(f"{path}: {where}: {message}", file=sys.stderr)
        st.bad_lines += 1
        if stop:
            print(f"replay: stopped at {where} (--on-error stop)", file=sys.stderr)
            sys.exit(1)

    try:
        size = path.stat().st_size
        f = open(path, "rb")
    except OSError as exc:
        sys.exit(f"replay: cannot read {path}: {exc.strerror or exc}")
    progress = Progress(size, sys.stderr.isatty() and not quiet)
    done = 0
    batch = Batch()
    started = time.perf_counter()
    with f:
        for lineno, raw in enumerate(f, 1):
            done += len(raw)
            line = raw.decode("utf-8", "replace").strip()
            if lineno == 1:
                line = line.lstrip("\ufeff")
                if line.replace(" ", "").lower().split(",") == HEADER:
                    continue
                bad(1, "missing header 'event,ref,side,price,quantity'")
                if not line.startswith(("add,", "cancel,")):
                    continue  # not data either: already reported once
            if not line:
                continue
            try:
                fields = line.split(",")
                batch.rows.append(parse_line(fields, book.tick_size, st))
            except InputError as exc:
                if stop:  # the lines before it go first, so that the first bad line is the one reported
                    run_batch(book, batch, st, bad)
                    batch = Batch()
                bad(lineno, str(exc))
                continue
            batch.lines.append(lineno)
            batch.refs.append(fields[1].strip())
            if len(batch.rows) == batch_size:
                run_batch(book, batch, st, bad)
                batch = Batch()
                progress.update(done, st.events)
        run_batch(book, batch, st, bad)
        if done == 0:
            bad(0, "empty file (no header, no events)")
    progress.clear()
    st.read_seconds = time.perf_counter() - started - st.book_seconds
    return st


def depth_chart(book: varnholt.OrderBook, out: Path, title: str) -> None:
    """Draw cumulative depth by decimal price, bids and asks, to a PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    def levels(orders: list[varnholt.Order]) -> dict[int, float]:
        qty: dict[int, float] = {}
        for o in orders:
            qty[o.price_in_ticks] = qty.get(o.price_in_ticks, 0.0) + o.quantity
        return qty

    tick = book.tick_size
    fig, ax = plt.subplots(figsize=(10, 5.5))
    bids, asks = levels(book.buy_orders), levels(book.sell_orders)
    # Bid depth at p counts bids priced >= p; ask depth counts asks <= p.
    if bids:
        levels_up = sorted(bids)
        ys = list(accumulate(bids[t] for t in reversed(levels_up)))[::-1]
        xs = [t * tick for t in levels_up]
        ax.step(xs, ys, where="pre", color="tab:green", label=f"bids ({ys[0]:g})")
        ax.fill_between(xs, ys, step="pre", color="tab:green", alpha=0.25)
    if asks:
        levels_up = sorted(asks)
        ys = list(accumulate(asks[t] for t in levels_up))
        xs = [t * tick for t in levels_up]
        ax.step(xs, ys, where="post", color="tab:red", label=f"asks ({ys[-1]:g})")
        ax.fill_between(xs, ys, step="post", color="tab:red", alpha=0.25)
    # The touch is often a few lots against thousands deeper: mark it so that it can be seen.
    best_bid, best_ask = book.best_bid(), book.best_ask()
    if best_bid is not None:
        ax.axvline(best_bid[0] * tick, color="tab:green", linestyle="--", linewidth=1,
                   label=f"best bid {best_bid[0] * tick:g}")
    if best_ask is not None:
        ax.axvline(best_ask[0] * tick, color="tab:red", linestyle="--", linewidth=1,
                   label=f"best ask {best_ask[0] * tick:g}")
    if best_bid is not None and best_ask is not None:
        mid = (best_bid[0] + best_ask[0]) / 2 * tick
        ax.axvline(mid, color="black", linestyle=":", linewidth=1, label=f"mid {mid:g}")
    ax.set_xlabel("price")
    ax.set_ylabel("cumulative quantity")
    ax.set_title(title)
    ax.grid(alpha=0.3)
    if bids or asks:
        ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Replay an order-flow CSV file through a varnholt.OrderBook and report\n"
        "the fills, traded volume, VWAP, the final book and the throughput.",
        epilog=CSV_FORMAT,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "file",
        nargs="?",
        type=Path,
        help=f"the order-flow CSV file (default: the bundled {SAMPLE.name}, "
        "generated on first use)",
    )
    parser.add_argument(
        "--tick-size",
        type=float,
        default=0.01,
        help="decimal value of one tick; prices are rounded to whole ticks "
        "(default: 0.01)",
    )
    parser.add_argument(
        "--on-error",
        choices=("skip", "stop"),
        default="skip",
        help="on a bad line: report it and go on (skip, the default) or stop with "
        "exit code 1 (stop)",
    )
    parser.add_argument(
        "--depth-chart",
        type=Path,
        metavar="FILE.png",
        help="also draw the final book's cumulative depth, with the best bid, best "
        "ask and mid marked, to a PNG (needs matplotlib: pip install 'varnholt[plot]')",
    )
    parser.add_argument(
        "--batch",
        type=int,
        default=65536,
        metavar="N",
        help="events per OrderBook.replay call; progress is shown between batches "
        "(default: 65536)",
    )
    parser.add_argument(
        "--quiet",
        action="store_true",
        help="no progress line (it is shown only when stderr is a terminal)",
    )
    args = parser.parse_args(argv)
    if not (math.isfinite(args.tick_size) and args.tick_size > 0):
        parser.error("--tick-size must be a positive number")
    if args.batch <= 0:
        parser.error("--batch must be a positive number of events")
    if args.depth_chart and importlib.util.find_spec("matplotlib") is None:
        print(
            "replay: --depth-chart needs matplotlib, which is not installed.\n"
            "  pip install 'varnholt[plot]'   (or: pip install matplotlib)\n"
            "Nothing was replayed.",
            file=sys.stderr,
        )
        return 2

    path: Path = args.file or SAMPLE
    if args.file is None and not SAMPLE.exists():
        sys.path.insert(0, str(HERE))
        import make_sample

        print(f"generating the sample {SAMPLE} ...", file=sys.stderr)
        make_sample.generate(SAMPLE)

    book = varnholt.OrderBook(args.tick_size)
    start = time.perf_counter()
    st = replay(path, book, args.on_error == "stop", args.quiet, args.batch)
    elapsed = time.perf_counter() - start

    def rate(seconds: float) -> str:
        per_second = f"{st.events / seconds:,.0f}" if seconds > 0 else "inf"
        return f"{per_second} events/s ({seconds:.3f} s)"

    vwap = f"{st.notional / st.volume:.4f}" if st.volume > 0 else "n/a"
    print(f"file                 {path}")
    print(f"events processed     {st.events}")
    print(f"  adds               {st.adds}")
    print(f"  cancels            {st.cancels}")
    print(f"  late cancels       {st.late_cancels} (the order had traded away or was cancelled)")
    print(f"  unknown-ref cancels {st.unknown_cancels}")
    print(f"bad lines            {st.bad_lines}")
    print(f"fills                {st.fills}")
    print(f"traded volume        {st.volume:g}")
    print(f"VWAP                 {vwap}")
    print("final book:")
    print("  " + repr(book).replace("\n", "\n  "))
    print(f"throughput           {rate(elapsed)}")
    print(f"  in the book        {rate(st.book_seconds)}")
    print(f"  reading the file   {rate(st.read_seconds)}")

    if args.depth_chart:
        title = f"Depth after {path.name} ({st.events} events)"
        depth_chart(book, args.depth_chart, title)
        print(f"depth chart          {args.depth_chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
