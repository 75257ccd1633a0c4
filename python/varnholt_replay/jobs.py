"""What to replay and what came of it: jobs, options, summaries."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Literal

from .formats.lobster import message_files_in, orderbook_for, source_of
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
    name: str | None = None  # the instrument name of the file (by default from its file name)

    @property
    def size(self) -> int:
        try:
            return Path(source_of(self.path)[0]).stat().st_size
        except OSError:
            return 0

    @property
    def instrument(self) -> str:
        return self.name or instrument_name(self.path)


def make_job(path: str | Path, orderbook: str | Path | None = None, format: str | None = None) -> Job:
    """A job for ``path``: the format from the option or the name (``.csv``
    and ``.zip`` are LOBSTER), the orderbook file from the option or beside
    the file (in the same folder, or the same zip archive for
    ``ARCHIVE.zip/MEMBER``; an archive of one message file stands for it)."""
    path = Path(path)
    if path.suffix.lower() == ".zip":  # a LOBSTER archive: its message file, if it has just one
        inside = message_files_in(path)
        if len(inside) > 1:
            raise ValueError(f"{path} holds {len(inside)} message files: name one as {path}/MEMBER")
        path = Path(inside[0]) if inside else path
    kind = format or ("lobster" if path.suffix.lower() in (".csv", ".zip") else "itch")
    if kind == "lobster" and orderbook is None:
        found = orderbook_for(path)
        if found:
            return Job(str(path), "lobster", found[0], found[1])
    return Job(str(path), kind, None if orderbook is None else str(orderbook))  # type: ignore[arg-type]


def expand_archives(paths: list[str]) -> list[str]:
    """The paths, with a LOBSTER zip archive standing for the message files in it."""
    expanded: list[str] = []
    for path in paths:
        inside = message_files_in(path) if str(path).lower().endswith(".zip") else []
        expanded.extend(inside or [path])
    return expanded


def with_unique_names(jobs: list[Job]) -> list[Job]:
    """The jobs, those whose files share a name told apart by their folders
    (``d1/day.itch`` and ``d2/day.itch`` become ``d1_day`` and ``d2_day``),
    so that their instruments and result files do not collide."""
    names = [instrument_name(job.path) for job in jobs]
    parts = [Path(source_of(job.path)[0]).resolve().parent.parts for job in jobs]
    depth = [0] * len(jobs)
    while True:
        labels = ["_".join([*parts[k][len(parts[k]) - depth[k]:], names[k]]) if depth[k] else names[k]
                  for k in range(len(jobs))]
        seen: dict[str, list[int]] = {}
        for k, label in enumerate(labels):
            seen.setdefault(label, []).append(k)
        clashes = [k for group in seen.values() if len(group) > 1 for k in group
                   if depth[k] < len(parts[k])]
        if not clashes:
            break
        for k in clashes:
            depth[k] += 1
    return [replace(job, name=label) if label != names[k] else job for k, (job, label) in enumerate(zip(jobs, labels))]


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
    final_bids: list[tuple[float, float]] = field(default_factory=list)  # top levels at the end, best first
    final_asks: list[tuple[float, float]] = field(default_factory=list)
    verification: str = "not checked"
    divergences: int = 0
    rejected: int = 0
    first_rejection: str | None = None
    orphans: int = 0  # messages about orders the book does not hold, not replayed
    executions: int = 0  # executions of named orders
    behind_front: int = 0  # of those, executions of an order that was not at the front of its level
    stand_ins: int = 0  # LOBSTER levels reconciled with a row through stand-ins
    folds: int = 0  # LOBSTER levels whose own orders were folded into their stand-in
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
                self.bid, self.ask, self.verification, self.divergences,
                self.rejected, self.orphans, self.executions, self.behind_front, self.stand_ins, self.folds,
                tuple(sorted(self.skipped.items())), self.error)


def instrument_name(path: str | Path, symbol: str | None = None) -> str:
    stem = Path(path).name
    for suffix in (".csv", ".itch", ".bin"):
        if stem.lower().endswith(suffix):
            stem = stem[: -len(suffix)]
    return f"{stem}:{symbol}" if symbol else stem


def failure_summary(job: Job, error: BaseException) -> Summary:
    """The summary of a job that failed for a reason other than its input."""
    summary = Summary(job.instrument, job.path)
    summary.error = f"{type(error).__name__}: {error}"
    return summary
