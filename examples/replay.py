"""Replay market-by-order files through varnholt books, with the machinery of ``varnholt-replay``.

Usage::

    python3 examples/replay.py [FILE ...] [--no-verify] [--depth-chart FILE.png]

FILEs are LOBSTER message files (verified after every message against the
orderbook file beside them), LOBSTER zip archives as LOBSTER ships them, or
NASDAQ ITCH 5.0 files.  Without FILE a seeded LOBSTER file of 100 000
messages and its 10-level orderbook file are generated into
``examples/data/`` first (once) and replayed.  The command ``varnholt-replay``
does the same with more options (threads, Dask, Parquet output); this
example shows the few calls it is made of.  ``--depth-chart`` draws the
cumulative depth of the first instrument's final book to a PNG; it needs
matplotlib (``pip install 'varnholt[plot]'``).

Exit codes: 0 replayed and verified, 1 a file could not be read, 2 bad usage
or matplotlib missing, 3 a book diverged from its orderbook file.
"""

from __future__ import annotations

import argparse
import sys
from itertools import accumulate
from pathlib import Path
from typing import Literal

from varnholt_replay import Options, Summary, make_job, run_local
from varnholt_replay.cli import exit_status, print_table
from varnholt_replay.jobs import expand_archives
from varnholt_replay.testing.generate import lobster_names, write_lobster

DATA = Path(__file__).resolve().parent / "data"


def sample() -> str:
    """The generated sample message file, written on first use."""
    message_name, book_name = lobster_names("SAMPLE", 10)
    if not (DATA / message_name).exists() or not (DATA / book_name).exists():
        print(f"generating a sample LOBSTER file in {DATA} ...", file=sys.stderr)
        write_lobster(DATA, 100_000, ticker="SAMPLE", levels=10, seed=7)
    return str(DATA / message_name)


def depth_chart(summary: Summary, out: str) -> None:
    """Cumulative depth of the final book's top levels, bids and asks, to a PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(10, 5.5))
    sides: list[tuple[list[tuple[float, float]], str, str, Literal["pre", "post"]]] = [
        (summary.final_bids, "tab:green", "bids", "pre"), (summary.final_asks, "tab:red", "asks", "post")]
    for levels, colour, name, where in sides:
        if levels:
            prices = [price for price, _ in levels]
            depth = list(accumulate(quantity for _, quantity in levels))
            ax.step(prices, depth, where=where, color=colour, label=f"{name} ({depth[-1]:,.0f})")
            ax.fill_between(prices, depth, step=where, color=colour, alpha=0.25)
    ax.set_xlabel("price")
    ax.set_ylabel("cumulative quantity")
    ax.set_title(f"{summary.instrument}: final book")
    ax.legend()
    fig.savefig(out, dpi=120, bbox_inches="tight")
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("files", nargs="*", metavar="FILE", help="LOBSTER message files or archives, ITCH files")
    parser.add_argument("--no-verify", action="store_true", help="do not compare with orderbook files")
    parser.add_argument("--depth-chart", metavar="PNG", help="draw the first instrument's final book (matplotlib)")
    args = parser.parse_args(argv)
    if args.depth_chart:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("replay.py: --depth-chart needs matplotlib: pip install 'varnholt[plot]'", file=sys.stderr)
            return 2
    jobs = [make_job(path) for path in expand_archives(args.files or [sample()])]
    summaries = run_local(jobs, Options(verify=not args.no_verify))
    print_table(summaries)
    if args.depth_chart and summaries:
        depth_chart(summaries[0], args.depth_chart)
        print(f"wrote {args.depth_chart}")
    return exit_status(summaries)


if __name__ == "__main__":
    sys.exit(main())
