"""Replay an order-flow CSV file through a ``varnholt.OrderBook``.

Usage::

    python3 examples/replay.py [FILE] [--tick-size 0.01] [--on-error skip|stop]
                               [--depth-chart FILE.png] [--quiet]

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
that is not a positive number, an ``add`` whose ref is already live, or an
order the book refuses) is reported on stderr with its line number and
skipped (``--on-error skip``, the default) or ends the run with exit code 1
(``--on-error stop``).  A cancel of a ref that is not live is counted, not an
error.

At the end the tool prints the event counts, the fills, traded volume and
VWAP, the final book summary and the throughput.  ``--depth-chart`` also
draws the final book's cumulative depth to a PNG; it needs matplotlib
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
SIDES = {"buy": varnholt.OrderType.Buy, "sell": varnholt.OrderType.Sell}


class InputError(Exception):
    """A line of the input that cannot be replayed."""


@dataclass
class Stats:
    events: int = 0
    adds: int = 0
    cancels: int = 0
    late_cancels: int = 0  # cancels of orders that had already fully traded
    unknown_cancels: int = 0
    bad_lines: int = 0
    fills: int = 0
    volume: float = 0.0
    notional: float = 0.0
    refs: dict[str, str] = field(default_factory=dict)  # client ref -> order id


class Progress:
    """One self-overwriting stderr line, redrawn every 2% of the input."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.enabled = enabled and total > 0
        self.step = max(1, total // 50)
        self.next = self.step
        self.shown = False

    def update(self, done: int, events: int) -> None:
        if done < self.next or not self.enabled:
            return
        self.next = done + self.step
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


def replay_line(book: varnholt.OrderBook, fields: list[str], st: Stats) -> None:
    """Apply one data line to the book; raise InputError if it is bad."""
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
        if ref in st.refs:
            raise InputError(f"duplicate ref {ref!r}")
        try:
            order = book.create_order(side, price, quantity)
            fills = book.add(order)
        except (ValueError, TypeError, OverflowError) as exc:
            raise InputError(f"order refused by the book: {exc}") from None
        st.refs[ref] = order.id
        st.adds += 1
        st.fills += len(fills)
        for f in fills:
            st.volume += f.quantity
            st.notional += f.quantity * f.price
    elif event == "cancel":
        order_id = st.refs.pop(ref, None)
        if order_id is None:
            st.unknown_cancels += 1
        else:
            known = book.get_order(order_id)
            if known is not None and not known.is_open():
                st.late_cancels += 1
            if book.cancel(order_id):
                st.cancels += 1
            else:
                st.unknown_cancels += 1
    else:
        raise InputError(f"unknown event {fields[0]!r} (expected add or cancel)")
    st.events += 1


def replay(path: Path, book: varnholt.OrderBook, stop: bool, quiet: bool) -> Stats:
    """Replay the file at ``path``; exit(1) on a bad line when ``stop``."""
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
                replay_line(book, line.split(","), st)
            except InputError as exc:
                bad(lineno, str(exc))
            progress.update(done, st.events)
        if done == 0:
            bad(0, "empty file (no header, no events)")
    progress.clear()
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
        ticks = sorted(bids)
        ys = list(accumulate(bids[t] for t in reversed(ticks)))[::-1]
        xs = [t * tick for t in ticks]
        ax.step(xs, ys, where="pre", color="tab:green", label=f"bids ({ys[0]:g})")
        ax.fill_between(xs, ys, step="pre", color="tab:green", alpha=0.25)
    if asks:
        ticks = sorted(asks)
        ys = list(accumulate(asks[t] for t in ticks))
        xs = [t * tick for t in ticks]
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
        "--quiet",
        action="store_true",
        help="no progress line (it is shown only when stderr is a terminal)",
    )
    args = parser.parse_args(argv)
    if not (math.isfinite(args.tick_size) and args.tick_size > 0):
        parser.error("--tick-size must be a positive number")
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
    st = replay(path, book, args.on_error == "stop", args.quiet)
    elapsed = time.perf_counter() - start

    vwap = f"{st.notional / st.volume:.4f}" if st.volume > 0 else "n/a"
    rate = st.events / elapsed if elapsed > 0 else float("inf")
    print(f"file                 {path}")
    print(f"events processed     {st.events}")
    print(f"  adds               {st.adds}")
    late = f"{st.late_cancels} after a complete fill"
    print(f"  cancels            {st.cancels} ({late})")
    print(f"  unknown-ref cancels {st.unknown_cancels}")
    print(f"bad lines            {st.bad_lines}")
    print(f"fills                {st.fills}")
    print(f"traded volume        {st.volume:g}")
    print(f"VWAP                 {vwap}")
    print("final book:")
    print("  " + repr(book).replace("\n", "\n  "))
    print(f"throughput           {rate:,.0f} events/s ({elapsed:.2f} s)")

    if args.depth_chart:
        title = f"Depth after {path.name} ({st.events} events)"
        depth_chart(book, args.depth_chart, title)
        print(f"depth chart          {args.depth_chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
