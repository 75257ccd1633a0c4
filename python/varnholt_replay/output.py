"""Per-instrument results as Parquet files (needs pyarrow).

For an instrument ``NAME`` the writer makes ``NAME.fills.parquet`` (one row
per fill) and ``NAME.depth.parquet`` (the top levels of the book every N
events).  Both name the input position of the event: the line of a LOBSTER
message, the byte offset of an ITCH message.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import numpy as np

from .book import TICK_SIZE

PYARROW_MISSING = ("writing results (--out) needs pyarrow, which is not installed: "
                   "pip install pyarrow")


class OutputUnavailable(RuntimeError):
    """Results were asked for but pyarrow is missing."""


def require_pyarrow() -> Any:
    """The ``pyarrow.parquet`` module, or :class:`OutputUnavailable`."""
    try:
        import pyarrow  # noqa: F401
        import pyarrow.parquet as pq
    except ImportError:
        raise OutputUnavailable(PYARROW_MISSING) from None
    return pq


def safe_name(instrument: str) -> str:
    """An instrument name usable as a file name."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", instrument).strip("._") or "instrument"


class ResultWriter:
    """Streams one instrument's fills and depth snapshots to Parquet files."""

    def __init__(self, directory: str | Path, instrument: str, depth: int, position: str = "line",
                 tick_size: float = TICK_SIZE) -> None:
        self.pq = require_pyarrow()
        import pyarrow as pa

        self.pa = pa
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.stem = safe_name(instrument)
        self.depth = depth
        self.position = position
        self.tick_size = tick_size
        self._fills: Any = None
        self._depth: Any = None
        self.paths = (self.directory / f"{self.stem}.fills.parquet", self.directory / f"{self.stem}.depth.parquet")

    def write_fills(self, fills: np.ndarray, events: np.ndarray, positions: np.ndarray,
                    times: np.ndarray | None) -> None:
        """Fill records, with the global event index, input position and
        message time (seconds, LOBSTER; nanoseconds, ITCH) of each."""
        columns = {
            "event": events.astype(np.uint64),
            self.position: positions.astype(np.int64),
            "resting_ref": fills["resting_ref"],
            "incoming_ref": fills["incoming_ref"],
            "price_in_ticks": fills["price_in_ticks"],
            "price": fills["price_in_ticks"] * self.tick_size,
            "quantity": fills["quantity"],
            "timestamp": fills["timestamp"],
        }
        if times is not None:
            columns["time"] = times
        self._fills = self._append(self._fills, self.paths[0], columns)

    def write_depth(self, events: np.ndarray, positions: np.ndarray, times: np.ndarray | None,
                    bids: np.ndarray, asks: np.ndarray) -> None:
        """Snapshots of the top ``depth`` levels after the given events."""
        columns: dict[str, np.ndarray] = {"event": events.astype(np.uint64), self.position: positions.astype(np.int64)}
        if times is not None:
            columns["time"] = times
        for name, levels in (("bid", bids), ("ask", asks)):
            for k in range(self.depth):
                columns[f"{name}_price_{k + 1}"] = np.ascontiguousarray(levels["price_in_ticks"][:, k])
                columns[f"{name}_size_{k + 1}"] = np.ascontiguousarray(levels["quantity"][:, k])
                columns[f"{name}_orders_{k + 1}"] = np.ascontiguousarray(levels["orders"][:, k])
        self._depth = self._append(self._depth, self.paths[1], columns)

    def _append(self, writer: Any, path: Path, columns: dict[str, np.ndarray]) -> Any:
        table = self.pa.table({name: np.ascontiguousarray(values) for name, values in columns.items()})
        if writer is None:
            writer = self.pq.ParquetWriter(path, table.schema)
        writer.write_table(table)
        return writer

    def close(self) -> list[Path]:
        """Finishes the files; returns the ones written."""
        written = []
        for writer, path in ((self._fills, self.paths[0]), (self._depth, self.paths[1])):
            if writer is not None:
                writer.close()
                written.append(path)
        return written
