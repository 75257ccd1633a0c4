"""Per-instrument results as Parquet files (needs pyarrow).

For an instrument ``NAME`` the writer makes ``NAME.fills.parquet`` (one row
per fill) and ``NAME.depth.parquet`` (the top levels of the book every N
events).  Both carry the market time of the message (``time``, integer
nanoseconds after midnight, in both formats) and its input position (the
line of a LOBSTER message, the byte offset of an ITCH message); a fill names
the feed's own id of the order that traded (``order_id``, null for a
LOBSTER stand-in), the side that took it (``aggressor``) and the
instrument.  The files' metadata give the source file, the format, the
levels of a LOBSTER orderbook file and the tick size.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import numpy as np

from .book import STAND_IN_BASE, TICK_SIZE
from .optional import require

def safe_name(instrument: str) -> str:
    """An instrument name usable as a file name."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", instrument).strip("._") or "instrument"


class ResultWriter:
    """Streams one instrument's fills and depth snapshots to Parquet files."""

    def __init__(self, directory: str | Path, instrument: str, depth: int, position: str = "line",
                 tick_size: float = TICK_SIZE, *, source: str = "", levels: int | None = None,
                 stand_ins: bool = False) -> None:
        self.pq = require("pyarrow.parquet")
        self.pa = require("pyarrow")
        self.instrument = instrument
        self.stand_ins = stand_ins  # refs from STAND_IN_BASE up are stand-ins, not the feed's ids
        self.metadata = {"instrument": instrument, "source": source, "format": "lobster" if position == "line" else "itch",
                         "levels": "" if levels is None else str(levels), "tick_size": repr(tick_size),
                         "time_unit": "ns after midnight, market time"}
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
                    resting_side: np.ndarray) -> None:
        """Fill records, with the global event index, input position and the
        side of the resting order of each."""
        ref = fills["resting_ref"]
        pa = self.pa
        stand_in = ref >= STAND_IN_BASE if self.stand_ins else np.zeros(len(ref), dtype=bool)
        columns = {
            "time": fills["timestamp"].astype(np.int64),
            "instrument": pa.array([self.instrument] * len(fills), pa.string()).dictionary_encode(),
            "event": events.astype(np.uint64),
            self.position: positions.astype(np.int64),
            "order_id": pa.array(ref, mask=stand_in, type=pa.uint64()),
            "aggressor": pa.DictionaryArray.from_arrays(pa.array((1 - resting_side).astype(np.int8)),
                                                        pa.array(["buy", "sell"])),
            "price_in_ticks": fills["price_in_ticks"],
            "price": fills["price_in_ticks"] * self.tick_size,
            "quantity": fills["quantity"],
        }
        self._fills = self._append(self._fills, self.paths[0], columns)

    def write_depth(self, events: np.ndarray, positions: np.ndarray, times: np.ndarray,
                    bids: np.ndarray, asks: np.ndarray) -> None:
        """Snapshots of the top ``depth`` levels after the given events."""
        columns: dict[str, Any] = {"time": times.astype(np.int64), "event": events.astype(np.uint64),
                                   self.position: positions.astype(np.int64)}
        for name, levels in (("bid", bids), ("ask", asks)):
            for k in range(self.depth):
                columns[f"{name}_price_{k + 1}"] = np.ascontiguousarray(levels["price_in_ticks"][:, k])
                columns[f"{name}_size_{k + 1}"] = np.ascontiguousarray(levels["quantity"][:, k])
                columns[f"{name}_orders_{k + 1}"] = np.ascontiguousarray(levels["orders"][:, k])
        self._depth = self._append(self._depth, self.paths[1], columns)

    def _append(self, writer: Any, path: Path, columns: dict[str, Any]) -> Any:
        table = self.pa.table({name: values if isinstance(values, self.pa.Array) else np.ascontiguousarray(values)
                               for name, values in columns.items()})
        table = table.replace_schema_metadata(self.metadata)
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
