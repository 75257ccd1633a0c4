"""Shared set-up of the varnholt_replay tests: sample files generated per session into temporary
directories, small files written from lines, and prefixes of the real LOBSTER sample files."""

from __future__ import annotations

import os
import sys
import zipfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parents[1] / "python"
try:
    import varnholt_replay  # noqa: F401
except ImportError:  # not installed: use the source tree
    sys.path.insert(0, str(PACKAGE_ROOT))

from varnholt_replay.jobs import make_job  # noqa: E402
from varnholt_replay.testing.generate import write_itch, write_lobster  # noqa: E402

REAL_DATA = [Path(os.environ.get("VARNHOLT_LOBSTER_DATA", HERE.parents[2] / "shared" / "data" / "lobster")),
             Path("/work/shared/data/lobster")]
"""Where the real LOBSTER sample files (zip archives as LOBSTER ships them) may be; never in the project."""


@pytest.fixture(scope="session")
def lobster_files(tmp_path_factory: pytest.TempPathFactory):
    """A LOBSTER message file of 4000 messages with its 5-level orderbook file."""
    return write_lobster(tmp_path_factory.mktemp("lobster"), 4000, levels=5, seed=11, resting=250)


@pytest.fixture(scope="session")
def itch_file(tmp_path_factory: pytest.TempPathFactory):
    """An ITCH file of three symbols and what replaying each must give."""
    path = tmp_path_factory.mktemp("itch") / "session.itch"
    truth = write_itch(path, 3000, symbols=3, seed=5, resting=200)
    return path, truth


def write_lines(path: Path, lines, header: str = "") -> Path:
    """A text file of the lines (strings, or tuples written comma-separated)."""
    path.write_text(header + "".join((line if isinstance(line, str) else ",".join(map(str, line))) + "\n"
                                     for line in lines))
    return path


def lobster_pair(tmp_path: Path, messages, rows=None, levels: int = 1, header: str = "", attribution: str = ""):
    """A job for message lines (type, id, size, price, direction; a second apart
    from 34200.5) and their orderbook rows, named as LOBSTER names them."""
    stem = f"X_2020-01-02_34200000_57600000_%s_{levels}.csv"
    lines = [",".join(map(str, (f"{34200 + i}.5", *m))) + attribution for i, m in enumerate(messages)]
    write_lines(tmp_path / (stem % "message"), lines, header)
    if rows is not None:
        write_lines(tmp_path / (stem % "orderbook"), rows)
    return make_job(tmp_path / (stem % "message"))


def real_lobster_prefix(tmp_path: Path, name: str, messages: int | None):
    """A job for the first ``messages`` of a real sample file (all with None,
    read from its archive), or a skip when the files are not here."""
    found = [folder / f"LOBSTER_SampleFile_{name}.zip" for folder in REAL_DATA]
    archive = next((path for path in found if path.exists()), None)
    if archive is None:
        pytest.skip("the real LOBSTER sample files are not here")
    with zipfile.ZipFile(archive) as bundle:
        member = next(n for n in bundle.namelist() if "_message_" in n)
    job = make_job(f"{archive}/{member}")
    if messages is None:
        return job
    for source in (job.path, job.orderbook):
        inner = source.rsplit("/", 1)[1]
        with zipfile.ZipFile(archive) as bundle, bundle.open(inner) as text:
            (tmp_path / inner).write_bytes(b"".join(text.readline() for _ in range(messages)))
    return make_job(tmp_path / member)


# Backtests ---------------------------------------------------------------------------

def feed_events(*rows):
    """A feed-event array from rows (kind, side, price, quantity, ref, time[, new_ref])."""
    from varnholt_replay import book as bk

    events = bk.empty_events(len(rows))
    for k, row in enumerate(rows):
        kind, side, price, quantity, ref, time = row[:6]
        events[k] = (kind, side, price, quantity, ref, row[6] if len(row) > 6 else bk.NO_REF, time)
    return events


def random_history(rng, count: int):
    """A seeded feed history on a few levels (bids 100-104, asks 105-109): posts, executions,
    reductions, cancels and replacements of resting orders, times a few ns apart (some equal)."""
    from varnholt import OrderBook as B

    live: dict[int, list] = {}
    rows, time, next_ref = [], 1000, 1
    for _ in range(count):
        time += rng.choice((0, 1, 3, 8))
        choice = rng.random()
        if len(live) < 3 or choice < 0.4:
            side = rng.randrange(2)
            price = rng.randrange(100, 105) if side == 0 else rng.randrange(105, 110)
            quantity = float(rng.randrange(1, 6))
            rows.append((B.POST, side, price, quantity, next_ref, time))
            live[next_ref] = [side, price, quantity]
            next_ref += 1
            continue
        ref = rng.choice(sorted(live))
        side, price, held = live[ref]
        if choice < 0.65:
            lots = float(rng.randrange(1, int(held) + 1))
            rows.append((B.EXECUTE, 0, 0, lots, ref, time))
        elif choice < 0.75 and held > 1:
            lots = float(rng.randrange(1, int(held)))
            rows.append((B.REDUCE, 0, 0, lots, ref, time))
        elif choice < 0.9:
            rows.append((B.CANCEL, 0, 0, 0.0, ref, time))
            lots = held
        else:
            new_price = rng.randrange(100, 105) if side == 0 else rng.randrange(105, 110)
            new_ref = ref if rng.random() < 0.3 else next_ref
            next_ref += new_ref != ref
            rows.append((B.REPLACE, 0, new_price, held, ref, time, new_ref))
            del live[ref]
            live[new_ref] = [side, new_price, held]
            continue
        live[ref][2] -= lots
        if live[ref][2] <= 0 or rows[-1][0] == B.CANCEL:
            del live[ref]
    return feed_events(*rows)


class RandomTrader:
    """A strategy that acts at random (seeded) and logs everything it was shown."""

    def __init__(self, seed: int, immediate: float = 0.2, tick: int = 1, around: int = 105) -> None:
        import random

        self.rng = random.Random(seed)
        self.immediate, self.tick, self.around = immediate, tick, around
        self.log: list = []

    def price(self, ctx) -> int:
        """A price a few ticks either side of the best bid (or of ``around`` before there is one)."""
        best = ctx.best_bid
        return (best[0] if best else self.around) + self.rng.randrange(-5, 6) * self.tick

    def __call__(self, ctx) -> None:
        rng = self.rng
        self.log.append((ctx.time, ctx.reason, ctx.best_bid, ctx.best_ask, tuple(ctx.fills), tuple(ctx.acks),
                         ctx.position, round(ctx.cash, 9), sorted(ctx.orders.items())))
        for _ in range(rng.randrange(3)):
            working = [order for order, known in ctx.orders.items() if known.open]
            choice = rng.random()
            if choice < 0.5 or not working:
                act = ctx.buy if rng.random() < 0.5 else ctx.sell
                act(self.price(ctx), float(rng.randrange(1, 6)), immediate=rng.random() < self.immediate)
            elif choice < 0.8:
                ctx.amend(rng.choice(working), quantity=rng.choice((None, float(rng.randrange(1, 6)))),
                          price_in_ticks=rng.choice((None, self.price(ctx))))
            else:
                ctx.cancel(rng.choice(working))
        low = self.price(ctx)
        ctx.wait(touch=rng.random() < 0.5, bid_between=(low, low + 3 * self.tick) if rng.random() < 0.3 else None,
                 ask_between=(low + 4 * self.tick, low + 6 * self.tick) if rng.random() < 0.3 else None,
                 until=ctx.time + rng.randrange(1, 40) if rng.random() < 0.4 else None, acks=rng.random() < 0.7)


class Script:
    """A strategy that sends given actions at given times (its calls come from ``wait(until=...)``)
    and keeps what each call showed it.  Actions: ``("buy"|"sell", price, quantity[, immediate])``,
    ``("amend", order, quantity, price)``, ``("cancel", order)``; own orders are numbered from 1."""

    def __init__(self, steps: dict[int, list[tuple]]) -> None:
        self.steps = sorted(steps.items())
        self.seen: list = []

    def __call__(self, ctx) -> None:
        self.seen.append((ctx.time, ctx.reason, ctx.position, dict(ctx.orders)))
        while self.steps and self.steps[0][0] <= ctx.time:
            for action in self.steps.pop(0)[1]:
                if action[0] in ("buy", "sell"):
                    getattr(ctx, action[0])(*action[1:])
                elif action[0] == "amend":
                    ctx.amend(action[1], quantity=action[2], price_in_ticks=action[3])
                else:
                    ctx.cancel(action[1])
        ctx.wait(until=self.steps[0][0] if self.steps else None)
