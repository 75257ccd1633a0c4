"""Speed of backtests on market-by-order history (varnholt_replay.backtest): the real LOBSTER files.

    python3 bench/backtest.py [--real DIR] [--variants 64] [--repeats 1]

For each LOBSTER sample archive (a trading day of one instrument), in CPU time, best of
``--repeats`` runs, the history read into feed events beforehand (both sides need it):

* the plain-Python backtest that walks every event with a per-event step
  (``varnholt_replay.backtest.reference``: a pure-Python book with the own orders standing in
  its queues) running one variant of the example's quoting strategy (offset 0, band 1: the
  busiest of the example's variants);
* the native backtest running the same variant (the history's one replay included); the two
  must give the same fills, or no time is printed;
* the native backtest running ``--variants`` variants (offsets 0-7 x bands 1-8) in one pass.

The targets: one variant at least 5 times faster than the plain-Python backtest; 64 variants in
one pass at most 8 times the time of one.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))  # the package from the source tree if not installed
sys.path.insert(0, str(HERE.parent / "examples"))

from backtest import LATENCY, Quoter  # noqa: E402
from varnholt_replay.backtest import Backtest, History, lobster_history  # noqa: E402
from varnholt_replay.backtest.reference import run_reference  # noqa: E402
from varnholt_replay.formats.lobster import message_files_in  # noqa: E402

REAL = Path("/work/shared/data/lobster")


def best(repeats: int, work) -> tuple[float, object]:
    """Fastest of ``repeats`` runs in CPU seconds, and what the last run returned."""
    times, result = [], None
    for _ in range(repeats):
        started = time.process_time()
        result = work()
        times.append(time.process_time() - started)
    return min(times), result


def native(events, strategies):
    return Backtest(History.of(events), LATENCY).run(strategies)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--real", type=Path, default=REAL, help="folder of the real LOBSTER zip archives")
    parser.add_argument("--variants", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args(argv)
    archives = sorted(args.real.glob("LOBSTER_SampleFile_*.zip")) if args.real.is_dir() else []
    if not archives:
        print(f"no real LOBSTER files in {args.real}")
        return 0
    grid = [(offset, band) for offset in range(8) for band in range(1, 9)][:args.variants]
    print(f"{'':34s} {'events':>9s} {'Python':>9s} {'one':>8s} {'speed-up':>9s} {len(grid):>4d} variants "
          f"{'x one':>6s}")
    for archive in archives:
        events = lobster_history(message_files_in(archive)[0])
        baseline, theirs = best(args.repeats, lambda: run_reference(events, [Quoter(0, 1)], LATENCY))
        one, ours = best(args.repeats, lambda: native(events, [Quoter(0, 1)]))
        if ours[0].fills.tolist() != theirs[0].fills.tolist():  # type: ignore[index]
            print(f"{archive.name}: the two backtests differ")
            return 1
        many, _ = best(args.repeats, lambda: native(events, [Quoter(o, b) for o, b in grid]))
        speedup, growth = baseline / one, many / one
        print(f"{archive.stem[19:]:34s} {len(events):>9,} {baseline:>8.2f}s {one:>7.2f}s {speedup:>8.1f}x "
              f"{many:>12.2f}s {growth:>6.1f}x   >= 5x {'met' if speedup >= 5 else 'NOT MET'}, "
              f"<= 8x {'met' if growth <= 8 else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
