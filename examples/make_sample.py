"""Generate the bundled order-flow sample ``examples/data/sample_flow.csv``.

The flow is synthetic but shaped like a busy day on one instrument: a mid
price that drifts as a random walk, passive orders resting a geometrically
distributed number of ticks behind the touch, cancels of live orders (some
arriving after the order already traded), and marketable orders that sweep
one or more levels.  The seed is fixed, so every run writes the
same file.

Usage: python3 examples/make_sample.py [--out FILE] [--events N] [--seed S]

The file format is the one ``replay.py`` reads (see its docstring).
"""

from __future__ import annotations

import argparse
import math
import random
from pathlib import Path

HEADER = "event,ref,side,price,quantity"
DEFAULT_OUT = Path(__file__).resolve().parent / "data" / "sample_flow.csv"
DEFAULT_EVENTS = 100_000
DEFAULT_SEED = 20240611
TICK = 0.01
START_MID = 100.00


def _geometric(rng: random.Random, p: float) -> int:
    """Number of failures before the first success, P(success) = p."""
    return int(math.log(1.0 - rng.random()) / math.log(1.0 - p))


def _quantity(rng: random.Random, scale: float) -> int:
    """A whole lot size, log-normally spread around ``scale``."""
    return max(1, round(rng.lognormvariate(math.log(scale), 0.8)))


def generate(
    out: Path = DEFAULT_OUT, events: int = DEFAULT_EVENTS, seed: int = DEFAULT_SEED
) -> int:
    """Write ``events`` events to ``out``; return the number written."""
    rng = random.Random(seed)
    mid = START_MID / TICK  # in ticks, kept as a float while it drifts
    live: list[tuple[str, int, int]] = []  # (ref, +1 buy / -1 sell, ticks)
    gone: list[str] = []  # a few recently cancelled refs, for stale cancels
    next_ref = 1
    lines = [HEADER]
    for _ in range(events):
        mid = max(50.0, mid + rng.gauss(0.0, 0.05))
        centre = round(mid)
        u = rng.random()
        if u < 0.40 and live:
            if rng.random() < 0.005 and gone:
                ref = rng.choice(gone)  # a cancel that raced another cancel
            else:
                while True:
                    i = rng.randrange(len(live))
                    live[i], live[-1] = live[-1], live[i]
                    ref, sign, ticks = live.pop()
                    # The mid has moved through this order: it has most
                    # likely traded, so nobody would cancel it; pick another.
                    if sign * (centre - ticks) > 0 or not live:
                        break
                gone.append(ref)
                if len(gone) > 64:
                    del gone[0]
            lines.append(f"cancel,{ref},,,")
            continue
        side = "buy" if rng.random() < 0.5 else "sell"
        sign = 1 if side == "buy" else -1
        if u < 0.90:  # passive: rests behind the touch
            ticks = centre - sign * (1 + _geometric(rng, 0.15))
            qty = _quantity(rng, 20.0)
        else:  # marketable: crosses the mid and sweeps
            ticks = centre + sign * (1 + _geometric(rng, 0.35))
            qty = _quantity(rng, 40.0)
        ref = f"o{next_ref}"
        next_ref += 1
        live.append((ref, sign, ticks))
        lines.append(f"add,{ref},{side},{ticks * TICK:.2f},{qty}")
    out.parent.mkdir(parents=True, exist_ok=True)
    with open(out, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines))
        f.write("\n")
    return len(lines) - 1


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Write the seeded order-flow sample CSV."
    )
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output CSV")
    parser.add_argument("--events", type=int, default=DEFAULT_EVENTS)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = parser.parse_args()
    n = generate(args.out, args.events, args.seed)
    print(f"wrote {n} events to {args.out}")


if __name__ == "__main__":
    main()
