"""What to replay and what came of it: jobs, options, summaries."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal

from .lobster import orderbook_for
from .textio import DEFAULT_BLOCK_BYTES

Progress = Callable[[int], None]
"""Called with the amount of input (bytes) done since the last call."""


@dataclass(frozen=True)
class Options:
    """How to replay: verification, results, block sizes."""

    verify: bool = True
    on_divergence: Literal["stop", "resync"] = "stop"
    out_dir: str | None = None
    snapshot_every: int = 1000
    snapshot_depth: int = 5
    block_bytes: int = DEFAULT_BLOCK_BYTES
    symbols: tuple[str, ...] = ()


@dataclass(frozen=True)
class Job:
    """One input file: a LOBSTER message file (with its orderbook file, if
    any) or an ITCH file."""

    path: str
    format: Literal["lobster", "itch"]
    orderbook: str | None = None
    levels: int | None = None

    @property
    def size(self) -> int:
        try:
            return Path(self.path).stat().st_size
        except OSError:
            return 0


def make_job(path: str | Path, orderbook: str | Path | None = None, format: str | None = None) -> Job:
    """A job for ``path``: the format from the option or the name (``.csv``
    is LOBSTER), the orderbook file from the option or beside the file."""
    path = Path(path)
    kind = format or ("lobster" if path.suffix.lower() == ".csv" else "itch")
    if kind == "lobster" and orderbook is None:
        found = orderbook_for(path)
        if found:
            return Job(str(path), "lobster", str(found[0]), found[1])
    return Job(str(path), kind, None if orderbook is None else str(orderbook))  # type: ignore[arg-type]


@dataclass
class Summary:
    """What replaying one instrument gave."""

    instrument: str
    source: str
    messages: int = 0
    events: int = 0
    fills: int = 0
    volume: float = 0.0
    notional: float = 0.0  # sum of price x quantity, in currency
    bid: tuple[float, float] | None = None  # best level at the end: (price, size)
    ask: tuple[float, float] | None = None
    verification: str = "not checked"
    divergences: int = 0
    violations: int = 0
    first_violation: str | None = None
    rejected: int = 0
    first_rejection: str | None = None
    orphans: int = 0
    skipped: dict[str, int] = field(default_factory=dict)
    seconds: float = 0.0
    error: str | None = None
    outputs: list[str] = field(default_factory=list)

    @property
    def vwap(self) -> float | None:
        return self.notional / self.volume if self.volume else None

    @property
    def throughput(self) -> float:
        return self.messages / self.seconds if self.seconds > 0 else 0.0

    def key(self) -> tuple[Any, ...]:
        """Everything but the timings, for comparing runs."""
        return (self.instrument, self.messages, self.events, self.fills, self.volume, round(self.notional, 6),
                self.bid, self.ask, self.verification, self.divergences, self.violations, self.first_violation,
                self.rejected, self.orphans, tuple(sorted(self.skipped.items())), self.error)


def instrument_name(path: str | Path, symbol: str | None = None) -> str:
    stem = Path(path).name
    for suffix in (".csv", ".itch", ".bin"):
        if stem.lower().endswith(suffix):
            stem = stem[: -len(suffix)]
    return f"{stem}:{symbol}" if symbol else stem


def failure_summary(job: Job, error: BaseException) -> Summary:
    """The summary of a job that failed for a reason other than its input."""
    summary = Summary(instrument_name(job.path), job.path)
    summary.error = f"{type(error).__name__}: {error}"
    return summary
