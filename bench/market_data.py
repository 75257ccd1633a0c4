"""Throughput of the market-data replay (varnholt_replay): real LOBSTER files and generated ones.

    python3 bench/market_data.py [--events 2000000] [--verify-events 300000]
                                 [--verify-levels 5,10] [--pair-events 1000000] [--data DIR] [--quick]

Measures, best of ``--repeats`` runs each, on one thread, in CPU time:

* the real LOBSTER sample files (zip archives as LOBSTER ships them, read
  from ``--real`` when they are there): verified after every message, and
  without verification;
* generated level-N files (seeded; kept in DIR, by default a folder in the
  temporary directory, and reused when they are there): the parser alone
  (message file to arrays), the reader (parser and feed events), the replay
  alone (``OrderBook.replay`` on events already in memory) and the whole path
  end to end; with verification, the orderbook file's parser alone and the
  whole path;
* two files on two threads against the same two one after the other (in
  wall-clock time).

The targets: real files verified 1 million messages a second, unverified
3 million; two threads 1.6 times one.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))  # the package from the source tree if not installed

from varnholt_replay import book as bk  # noqa: E402
from varnholt_replay.formats.lobster import OrderbookRows, message_files_in, read_messages  # noqa: E402
from varnholt_replay.memory import keep_freed_memory  # noqa: E402
from varnholt_replay.running.local import run_local  # noqa: E402
from varnholt_replay.runner import Options, make_job, replay_lobster  # noqa: E402
from varnholt_replay.testing.generate import lobster_names, write_lobster  # noqa: E402

REAL = Path("/work/shared/data/lobster")


def files(directory: Path, events: int, seed: int, levels: int, orderbook: bool):
    """The generated pair for these settings, written if missing."""
    folder = directory / f"{events}-{seed}-{levels}-{'book' if orderbook else 'messages'}"
    message_name, book_name = lobster_names("TEST", levels)
    if not (folder / message_name).exists() or (orderbook and not (folder / book_name).exists()):
        print(f"generating {events:,} messages{' with orderbook rows' if orderbook else ''} in {folder} ...",
              flush=True)
        write_lobster(folder, events, levels=levels, seed=seed, orderbook=orderbook)
    return make_job(folder / message_name)


def best(repeats: int, work, clock=time.process_time) -> float:
    """Fastest of ``repeats`` runs, in seconds of ``clock``: by default the process's CPU time,
    which a machine shared with other work inflates far less than the wall clock (the
    single-thread rows measure one core's work)."""
    times = []
    for _ in range(repeats):
        started = clock()
        work()
        times.append(clock() - started)
    return min(times)


def parse_only(path: str) -> None:
    for _ in read_messages(path):
        pass


def read_only(path: str) -> None:
    for messages in read_messages(path):
        messages.events()


def events_of(path: str) -> list[np.ndarray]:
    return [messages.events()[0] for messages in read_messages(path)]


def replay_only(blocks: list[np.ndarray]) -> None:
    book = bk.new_book()
    for events in blocks:
        book.replay(events)
        book.forget_filled()  # as the replays of varnholt_replay do after every batch


def rows_only(job, count: int) -> None:
    rows = OrderbookRows(job.orderbook, job.levels)
    while count:
        count -= len(rows.take(min(count, 1 << 16)))


def side_by_side(works) -> None:
    """Runs the callables on threads of their own and waits for all."""
    with ThreadPoolExecutor(len(works)) as pool:
        for future in [pool.submit(work) for work in works]:
            future.result()


def line(name: str, count: int, seconds: float, target: float | None = None) -> None:
    rate = count / seconds
    verdict = "" if target is None else ("met" if rate >= target else "NOT MET")
    wanted = "" if target is None else f">= {target / 1e6:g} M/s"
    print(f"{name:44s} {count:>12,} {seconds:9.3f} s {rate / 1e6:9.2f} M/s  {wanted:>11s} {verdict}")


def real_files(directory: Path, repeats: int) -> None:
    archives = sorted(directory.glob("LOBSTER_SampleFile_*.zip")) if directory.is_dir() else []
    if not archives:
        print(f"\nno real LOBSTER files in {directory}")
        return
    print(f"\nreal LOBSTER files (read from their zip archives)")
    for archive in archives:
        for path in message_files_in(archive):
            job = make_job(path)
            summary = replay_lobster(job)
            name = Path(path).name.split("_34200000")[0] + f" level {job.levels}"
            if not summary.verification.startswith("ok"):
                print(f"{name}: {summary.error or summary.verification}")
                continue
            line(f"{name}, verified", summary.messages, best(repeats, partial(replay_lobster, job)), 1e6)
            line(f"{name}, not verified", summary.messages,
                 best(repeats, partial(replay_lobster, job, Options(verify=False))), 3e6)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    parser.add_argument("--verify-events", type=int, default=300_000)
    parser.add_argument("--verify-levels", default="5,10", help="levels of the orderbook files, comma-separated")
    parser.add_argument("--pair-events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--real", type=Path, default=REAL, help="folder of the real LOBSTER zip archives")
    parser.add_argument("--data", type=Path, default=Path(tempfile.gettempdir()) / "varnholt_replay_bench")
    parser.add_argument("--quick", action="store_true", help="a tenth of every size, one run each")
    args = parser.parse_args(argv)
    keep_freed_memory()
    if args.quick:
        args.events, args.verify_events, args.pair_events, args.repeats = (
            args.events // 10, args.verify_events // 10, args.pair_events // 10, 1)
    r = args.repeats
    print(f"{'':44s} {'messages':>12s} {'CPU time':>11s} {'rate':>13s}")
    real_files(args.real, r)

    big = files(args.data, args.events, 1, 10, orderbook=False)
    pair = [files(args.data, args.pair_events, seed, 10, orderbook=False) for seed in (3, 4)]
    messages = sum(len(m) for m in read_messages(big.path))
    print("\ngenerated, one thread")
    line("parser alone (message file)", messages, best(r, lambda: parse_only(big.path)))
    line("reader (parser + feed events)", messages, best(r, lambda: read_only(big.path)))
    blocks = events_of(big.path)
    events = sum(len(b) for b in blocks)
    line("replay alone (events in memory)", events, best(r, lambda: replay_only(blocks)))
    del blocks
    line("end to end", messages, best(r, lambda: replay_lobster(big, Options(verify=False))), 3e6)

    for levels in (int(n) for n in args.verify_levels.split(",")):
        checked = files(args.data, args.verify_events, 2, levels, orderbook=True)
        rows = args.verify_events
        print(f"\ngenerated, with verification, {levels} levels")
        line("orderbook parser alone", rows, best(r, lambda job=checked, count=rows: rows_only(job, count)))
        summary = replay_lobster(checked)
        if summary.verification.startswith("ok"):
            line("end to end, verified after every message", rows, best(r, partial(replay_lobster, checked)), 1e6)
        else:
            print(f"verification failed: {summary.verification or summary.error}")

    print("\ntwo files (wall-clock time)")
    total = sum(len(m) for job in pair for m in read_messages(job.path))
    options = Options(verify=False)
    alone = best(r, lambda: [run_local([job], options, threads=1) for job in pair], time.perf_counter)
    together = best(r, lambda: run_local(pair, options, threads=2), time.perf_counter)
    line("replay, one after the other, one thread", total, alone)
    line("replay, side by side, two threads", total, together)
    speedup = alone / together
    print(f"{'speed-up':44s} {speedup:>12.2f} x{'':24s} >= 1.6 x {'met' if speedup >= 1.6 else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
