"""A progress bar over bytes of input, shared by threads."""

from __future__ import annotations

import sys
import threading
import time
from typing import Any, TextIO

from .optional import available


class ProgressBar:
    """Counts processed bytes against a total and shows it on a stream:
    with tqdm when it is installed, as one rewritten text line otherwise.
    ``advance`` may be called from any thread."""

    def __init__(self, total: int, *, enabled: bool = True, stream: TextIO | None = None,
                 description: str = "replaying") -> None:
        self.total = max(int(total), 1)
        self.done = 0
        self.enabled = enabled
        self.stream = stream or sys.stderr
        self.description = description
        self._lock = threading.Lock()
        self._started = time.perf_counter()
        self._shown = 0.0
        self._bar: Any = None
        tqdm = available("tqdm") if enabled else None
        if tqdm is not None:
            self._bar = tqdm.tqdm(total=self.total, unit="B", unit_scale=True, desc=description, file=self.stream)

    def advance(self, amount: int) -> None:
        if not self.enabled or amount <= 0:
            return
        with self._lock:
            self.done = min(self.done + int(amount), self.total)
            if self._bar is not None:
                self._bar.update(int(amount))
                return
            now = time.perf_counter()
            if now - self._shown >= 0.2 or self.done == self.total:
                self._shown = now
                self._draw(now)

    def _draw(self, now: float) -> None:
        elapsed = max(now - self._started, 1e-9)
        share = self.done / self.total
        filled = int(share * 30)
        line = (f"\r{self.description} [{'#' * filled}{'.' * (30 - filled)}] {share:6.1%} "
                f"{self.done / 1e6:,.1f}/{self.total / 1e6:,.1f} MB {self.done / 1e6 / elapsed:,.1f} MB/s")
        self.stream.write(line)
        self.stream.flush()

    def close(self) -> None:
        if not self.enabled:
            return
        with self._lock:
            if self._bar is not None:
                self._bar.close()
            else:
                self._draw(time.perf_counter())
                self.stream.write("\n")
                self.stream.flush()

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
