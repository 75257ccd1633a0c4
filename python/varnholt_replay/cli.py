"""The ``varnholt-replay`` command: replay market-by-order files through varnholt books.

Each LOBSTER message file, and each symbol of each ITCH 5.0 file, is
replayed on a book of its own; the files run in parallel threads (or as
tasks on a Dask cluster with ``--scheduler`` or ``--processes``), and a table
gives per instrument the messages, fills, traded volume, VWAP, the final
best bid and ask, the verification result and the throughput.

A LOBSTER message file ``X_message_N.csv`` is verified against
``X_orderbook_N.csv`` beside it (or the file given with ``--orderbook``):
after every message the book's top N levels must equal the orderbook row,
the levels that have just come into the row's window being first brought
to it through stand-in orders (a level-N file leaves out what happened
further out; see the module notes of varnholt_replay.formats.lobster).
The first divergence is reported with its line; ``--on-divergence resync``
rebuilds the book from that row and goes on.  Files ending in ``.csv`` are
LOBSTER files, others ITCH files, unless ``--format`` says otherwise.

A LOBSTER zip archive (as LOBSTER ships them) stands for the message files
in it, each with the orderbook file beside it in the archive; a member can be
named as ARCHIVE.zip/MEMBER.

Exit status: 0 all replayed and verified; 1 some input could not be read
(a missing file, a malformed row, a truncated or unknown ITCH message: the
other files are still replayed, and an ITCH file up to the bad message); 2
bad usage, or a missing optional package (pyarrow for --out, dask for a
cluster); 3 all read, but a book diverged from its orderbook file (or the
orderbook file has rows beyond the last message).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TextIO

from .jobs import expand_archives, with_unique_names
from .memory import keep_freed_memory
from .optional import MissingPackage, require
from .progress import ProgressBar
from .runner import Job, Options, Summary, make_job

EXIT_OK, EXIT_INPUT, EXIT_USAGE, EXIT_MISMATCH = 0, 1, 2, 3


def build_parser() -> argparse.ArgumentParser:
    details = (__doc__ or "").partition("\n\n")[2]
    parser = argparse.ArgumentParser(prog="varnholt-replay", formatter_class=argparse.RawDescriptionHelpFormatter,
                                     description="Replay market-by-order files (LOBSTER, NASDAQ ITCH 5.0) "
                                                 "through varnholt books.\n\n" + details.replace("``", "'"))
    parser.add_argument("files", nargs="+", metavar="FILE", help="LOBSTER message files and ITCH 5.0 files")
    parser.add_argument("--format", choices=("auto", "lobster", "itch"), default="auto",
                        help="format of every FILE (default: by name, .csv is LOBSTER)")
    parser.add_argument("--orderbook", action="append", default=[], metavar="FILE",
                        help="orderbook file of a LOBSTER file: the first one for the first LOBSTER FILE, ...")
    parser.add_argument("--no-verify", action="store_true", help="do not compare with orderbook files")
    parser.add_argument("--on-divergence", choices=("stop", "resync"), default="stop",
                        help="after a divergence: stop that file, or rebuild its book from the row (default stop)")
    parser.add_argument("--symbol", action="append", default=[], metavar="SYM",
                        help="replay only this ITCH symbol (repeatable; default all)")
    parser.add_argument("--threads", type=int, default=None, help="worker threads (default: one per core)")
    parser.add_argument("--out", metavar="DIR", help="write fills and depth snapshots as Parquet to DIR")
    parser.add_argument("--snapshot-every", type=int, default=1000, metavar="N",
                        help="events between depth snapshots in --out (default 1000)")
    parser.add_argument("--snapshot-depth", type=int, default=5, metavar="L",
                        help="levels per side in depth snapshots (default 5)")
    parser.add_argument("--block-bytes", type=int, default=1 << 21, help=argparse.SUPPRESS)
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS", help="run the files as tasks on this Dask scheduler")
    cluster.add_argument("--processes", type=int, metavar="N", help="run on a local Dask cluster of N processes")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="show a progress bar (default: when stderr is a terminal)")
    shown.add_argument("--no-progress", dest="progress", action="store_false")
    return parser


def jobs_from(args: argparse.Namespace) -> list[Job]:
    fmt = None if args.format == "auto" else args.format
    books = list(args.orderbook)
    jobs = []
    for path in expand_archives(args.files):
        job = make_job(path, format=fmt)
        if job.format == "lobster" and books:
            job = make_job(path, books.pop(0), fmt)
        jobs.append(job)
    if books:
        raise ValueError("more --orderbook files than LOBSTER files")
    return with_unique_names(jobs)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    keep_freed_memory()
    for name in ("snapshot_every", "snapshot_depth", "threads", "processes"):
        value = getattr(args, name)
        if value is not None and value < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    try:
        jobs = jobs_from(args)
        if args.out:
            require("pyarrow.parquet")
        if args.scheduler or args.processes:
            require("distributed")
    except (ValueError, MissingPackage) as error:
        print(f"varnholt-replay: {error}", file=sys.stderr)
        return EXIT_USAGE
    options = Options(verify=not args.no_verify, on_divergence=args.on_divergence, out_dir=args.out,
                      snapshot_every=args.snapshot_every, snapshot_depth=args.snapshot_depth,
                      block_bytes=args.block_bytes, symbols=tuple(args.symbol))
    show = sys.stderr.isatty() if args.progress is None else args.progress
    with ProgressBar(sum(job.size for job in jobs), enabled=show) as progress:
        summaries = _run(jobs, options, args, progress)
    try:
        print_table(summaries)
        sys.stdout.flush()
    except BrokenPipeError:  # the reader went away (| head): the rest is not wanted
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())  # so that the flush at exit does not fail again
    return exit_status(summaries)


def _run(jobs: list[Job], options: Options, args: argparse.Namespace, progress: ProgressBar) -> list[Summary]:
    if args.scheduler or args.processes:
        from .running.cluster import connect, run_on_cluster

        with connect(args.scheduler, args.processes or 2) as client:
            return run_on_cluster(client, jobs, options, progress=progress)
    from .running.local import run_local

    return run_local(jobs, options, threads=args.threads, progress=progress)


def exit_status(summaries: Sequence[Summary]) -> int:
    if any(s.error for s in summaries):
        return EXIT_INPUT
    if any(s.divergences for s in summaries):
        return EXIT_MISMATCH
    return EXIT_OK


def _level(level: tuple[float, float] | None) -> str:
    return "-" if level is None else f"{level[1]:,.0f} @ {level[0]:,.4f}"


def _verification(s: Summary) -> str:
    if s.error:
        return "error"
    if s.divergences:
        return f"diverged x{s.divergences}"
    return "-" if s.verification == "not checked" else s.verification.split(" (")[0]


def print_table(summaries: Sequence[Summary], out: TextIO | None = None) -> None:
    """The per-instrument table, then the details of anything that went wrong."""
    out = out or sys.stdout
    header = ("instrument", "messages", "events", "fills", "volume", "VWAP", "best bid", "best ask",
              "verified", "msg/s")
    rows = [header]
    for s in summaries:
        vwap = "-" if s.vwap is None else f"{s.vwap:,.4f}"
        rows.append((s.instrument, f"{s.messages:,}", f"{s.events:,}", f"{s.fills:,}", f"{s.volume:,.0f}", vwap,
                     _level(s.bid), _level(s.ask), _verification(s), f"{s.throughput:,.0f}"))
    widths = [max(len(row[k]) for row in rows) for k in range(len(header))]
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        print("  ".join(cells).rstrip(), file=out)
    for s in summaries:
        notes = [s.error, s.verification if s.divergences else None,
                 s.executions and f"{s.executions:,} executions, {s.behind_front:,} of them of an order "
                                  "behind others in its level",
                 s.stand_ins and f"{s.stand_ins:,} levels reconciled with their rows through stand-ins"
                                 + (f", {s.folds:,} levels folded" if s.folds else ""),
                 s.first_rejection and f"{s.rejected} events refused, first at {s.first_rejection}",
                 s.orphans and f"{s.orphans} messages about orders the book does not hold (not replayed)",
                 s.outputs and "wrote " + ", ".join(s.outputs)]
        for note in filter(None, notes):
            print(f"{s.instrument}: {note}", file=out)


if __name__ == "__main__":
    sys.exit(main())
