"""Reading text files in blocks of whole lines."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from io import BufferedIOBase

import numpy as np

from .csvscan import PAD
from .errors import InputError

DEFAULT_BLOCK_BYTES = 1 << 20


@dataclass(frozen=True)
class Block:
    """Whole lines of a file in ``raw[start:stop]``, the last one ending with
    ``\\n``; ``raw`` has ``PAD`` bytes of slack in front of ``start``.
    ``end_offset`` is the file offset just past the block.  The bytes are
    valid until the reader reads the next block."""

    raw: np.ndarray
    start: int
    stop: int
    end_offset: int


class BlockReader:
    """Iterates over a text file in blocks of whole lines of about
    ``block_bytes`` each (a longer line makes a longer block).

    ``\\r\\n`` line ends are read as ``\\n``; a last line without a newline
    gets one.  One buffer serves every block.
    """

    def __init__(self, path: str | Path, block_bytes: int = DEFAULT_BLOCK_BYTES, *,
                 stream: BufferedIOBase | None = None) -> None:
        self.path = Path(path)
        self.block_bytes = max(int(block_bytes), 64)
        self.stream = stream  # an open stream to read instead of the file (a member of an archive)
        if stream is None:
            try:
                os.stat(self.path)
            except OSError as error:
                raise InputError(self.path, error.strerror or str(error)) from None

    def __iter__(self) -> Iterator[Block]:
        if self.stream is not None:
            yield from self._blocks(self.stream)
            return
        try:
            with open(self.path, "rb") as source:
                yield from self._blocks(source)
        except OSError as error:
            raise InputError(self.path, error.strerror or str(error)) from None

    def _blocks(self, source: BufferedIOBase) -> Iterator[Block]:
        buffer = bytearray(PAD + 2 * self.block_bytes + 1)
        carry = 0  # bytes of an unfinished line at buffer[PAD:PAD + carry]
        offset = 0  # file offset of buffer[PAD]
        while True:
            if len(buffer) < PAD + carry + self.block_bytes + 1:  # a line longer than a block
                buffer = buffer[:PAD + carry] + bytearray(self.block_bytes + 1)
            view = memoryview(buffer)
            filled = PAD + carry
            got = source.readinto(view[filled:filled + self.block_bytes])
            view.release()
            filled += got
            if filled == PAD:
                return
            last = buffer.rfind(b"\n", PAD, filled)
            if got == 0:  # the file ends without a newline
                buffer[filled] = 10
                last = filled
            elif last < 0:
                carry = filled - PAD
                continue
            stop = last + 1
            end_offset = offset + min(stop, filled) - PAD
            raw = np.frombuffer(buffer, dtype=np.uint8)
            if buffer.find(b"\r", PAD, stop) >= 0:
                raw, stop = _without_carriage_returns(buffer, stop)
            yield Block(raw, PAD, stop, end_offset)
            del raw
            if got == 0:
                return
            carry = filled - (last + 1)
            buffer[PAD:PAD + carry] = buffer[last + 1:filled]
            offset = end_offset


def _without_carriage_returns(buffer: bytearray, stop: int) -> tuple[np.ndarray, int]:
    text = bytes(buffer[PAD:stop]).replace(b"\r\n", b"\n")
    fresh = bytearray(PAD) + text
    return np.frombuffer(fresh, dtype=np.uint8), PAD + len(text)
