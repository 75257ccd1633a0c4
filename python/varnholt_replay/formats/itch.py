"""NASDAQ TotalView-ITCH 5.0 files, turned into feed events per symbol as they are read.

Each message is preceded by its length (2 bytes, big-endian) and starts with
its type letter, the stock locate (2 bytes), a tracking number (2 bytes) and
a timestamp (6 bytes, nanoseconds after midnight); every field is
big-endian, prices have 4 implied decimals (used as ``price_in_ticks`` on a
book with tick size 0.0001) and order references are 64-bit.  Every order
message names its stock locate and its order, so each becomes one feed event
of its symbol's book, with the message's timestamp, and the reader keeps no
state of the orders:

* ``R`` stock directory: names the stock of a locate code;
* ``A``/``F`` add order: a post (the order rests as given, never matching:
  a crossed add, as feeds carry around halts and auctions, rests crossed);
* ``E`` executed, ``C`` executed with price: an execution of the named order
  (``C``'s own price is not used: the book trades at the resting price);
* ``X`` cancel: a reduction of the named order (it keeps its place);
* ``D`` delete: a cancel;
* ``U`` replace: a replace (the original reference leaves, the new one enters
  at the back with the original's side, the new price and shares);
* ``P``, ``Q``, ``B`` (trades) and every other known type (system events,
  trading actions, imbalances, ...): counted, not applied.

The file is read block by block and each block's events are handed on at
once, so memory does not grow with the file.  A message about an order the
book does not hold comes back from the book as an unknown reference and is
counted.  An unknown type, a message whose length is not its type's (a length
of 0 included), or a file that ends inside a message stops the reading with
an :class:`InputError` naming the byte offset, after every complete message
before it has been handed on.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .. import book as bk
from ..errors import InputError

LENGTHS = {
    b"S": 12, b"R": 39, b"H": 25, b"Y": 20, b"L": 26, b"V": 35, b"W": 12, b"K": 28, b"J": 35, b"h": 21,
    b"A": 36, b"F": 40, b"E": 31, b"C": 36, b"X": 23, b"D": 19, b"U": 35, b"P": 44, b"Q": 40, b"B": 19,
    b"I": 50, b"N": 20, b"O": 48,
}
"""Length of each message type (the length prefix not counted)."""

_LENGTH_OF = np.zeros(256, dtype=np.int64)
for _kind, _length in LENGTHS.items():
    _LENGTH_OF[_kind[0]] = _length
_A, _F, _E, _C, _X, _D, _U, _R = (ord(k) for k in "AFECXDUR")
_ORDER_TYPES = np.array([_A, _F, _E, _C, _X, _D, _U], dtype=np.uint8)
# the feed verb of each order message type
_VERB = np.zeros(256, dtype=np.uint8)
for _letter, _verb in ((_A, bk.POST), (_F, bk.POST), (_E, bk.EXECUTE), (_C, bk.EXECUTE), (_X, bk.REDUCE),
                       (_D, bk.CANCEL), (_U, bk.REPLACE)):
    _VERB[_letter] = _verb
DEFAULT_BLOCK_BYTES = 1 << 24
NOT_APPLIED = {"P": "trade", "Q": "cross trade", "B": "broken trade", "H": "trading action"}
"""Message types counted per symbol and not applied, by the name they are reported under."""


@dataclass
class SymbolBlock:
    """The feed events of one symbol from one block of the file."""

    events: np.ndarray
    offsets: np.ndarray  # byte offset of the message of each event


@dataclass
class ItchBlock:
    """What one block of the file holds: events per stock locate, messages per
    locate and type letter, and the byte offset just past the block."""

    symbols: dict[int, SymbolBlock]
    counts: dict[int, dict[str, int]]
    end_offset: int


@dataclass
class ItchReader:
    """Reads an ITCH 5.0 file block by block (iterate over it).

    ``symbols`` restricts the events to those stocks (names as in the stock
    directory, without padding); ``names`` maps the locate codes seen in
    directory messages to their stocks.
    """

    path: str | Path
    symbols: Iterable[str] | None = None
    block_bytes: int = DEFAULT_BLOCK_BYTES
    names: dict[int, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.path = Path(self.path)
        self.wanted = None if self.symbols is None else set(self.symbols)
        self.chosen = np.ones(65536, dtype=bool)
        if self.wanted is not None:
            self.chosen[:] = False
        self.chosen[0] = False  # locate 0: messages about the whole market

    def __iter__(self) -> Iterator[ItchBlock]:
        try:
            source = open(self.path, "rb")
        except OSError as error:
            raise InputError(self.path, error.strerror or str(error)) from None
        with source:
            carry, base = b"", 0  # base: file offset of carry[0]
            while True:
                chunk = source.read(self.block_bytes)
                data = carry + chunk
                starts, end, fault = _walk(data, at_end=not chunk)
                at = np.array(starts, dtype=np.int64)
                bad = _first_bad_length(data, at, self.path, base)
                if bad is not None:  # replay what comes before the bad message, then stop there
                    at = at[:bad[0]]
                if len(at):
                    yield self._block(data, at, base, base + (int(starts[len(at)]) if bad else end))
                if bad is not None:
                    raise bad[1]
                if fault is not None:
                    raise InputError(self.path, fault, offset=base + end)
                if not chunk:
                    break
                carry, base = data[end:], base + end
        if self.wanted is not None:
            absent = sorted(self.wanted - set(self.names.values()))
            if absent:
                raise InputError(self.path, f"no stock directory message for {', '.join(absent)}")

    def _block(self, data: bytes, starts: np.ndarray, base: int, end_offset: int) -> ItchBlock:
        raw = np.frombuffer(data, dtype=np.uint8)
        at = starts + 2  # each message's type byte
        kinds = raw[at]
        locate = _be(raw, 2)[at + 1].astype(np.int64)
        directory = kinds == _R
        if directory.any():
            self._directory(raw, at[directory], locate[directory])
        mine = self.chosen[locate]
        at, kinds, locate = at[mine], kinds[mine], locate[mine]
        counts = _counts(kinds, locate)
        orders = np.isin(kinds, _ORDER_TYPES)
        symbols = _events(raw, at[orders], kinds[orders], locate[orders], base)
        return ItchBlock(symbols, counts, end_offset)

    def _directory(self, raw: np.ndarray, at: np.ndarray, locate: np.ndarray) -> None:
        for position, code in zip(at.tolist(), locate.tolist()):
            name = raw[position + 11:position + 19].tobytes().decode("ascii", "replace").strip()
            self.names[code] = name
            if self.wanted is not None:
                self.chosen[code] = name in self.wanted


def _counts(kinds: np.ndarray, locate: np.ndarray) -> dict[int, dict[str, int]]:
    """Messages per locate and type letter."""
    counts: dict[int, dict[str, int]] = {}
    keys, number = np.unique(locate * 256 + kinds, return_counts=True)
    for key, count in zip(keys.tolist(), number.tolist()):
        counts.setdefault(key >> 8, {})[chr(key & 255)] = count
    return counts


def _events(raw: np.ndarray, at: np.ndarray, kinds: np.ndarray, locate: np.ndarray,
            base: int) -> dict[int, SymbolBlock]:
    """The feed events of the order messages at ``at``, one each, per locate."""
    u4, u8 = _be(raw, 4), _be(raw, 8)
    events = bk.empty_events(len(at))
    events["kind"] = _VERB[kinds]
    events["ref"] = u8[at + 11]
    events["new_ref"] = bk.NO_REF
    events["timestamp"] = u8[at + 3] & np.uint64(2**48 - 1)
    added = np.flatnonzero((kinds == _A) | (kinds == _F))
    events["side"][added] = raw[at[added] + 19] == ord("S")
    events["quantity"][added] = u4[at[added] + 20]
    events["price_in_ticks"][added] = u4[at[added] + 32]
    sized = np.flatnonzero((kinds == _E) | (kinds == _C) | (kinds == _X))
    events["quantity"][sized] = u4[at[sized] + 19]
    replaced = np.flatnonzero(kinds == _U)
    events["new_ref"][replaced] = u8[at[replaced] + 19]
    events["quantity"][replaced] = u4[at[replaced] + 27]
    events["price_in_ticks"][replaced] = u4[at[replaced] + 31]
    offsets = at - 2 + base
    order = np.argsort(locate, kind="stable")
    owners, first = np.unique(locate[order], return_index=True)
    bounds = np.append(first, len(order))
    return {code: SymbolBlock(events[order[bounds[n]:bounds[n + 1]]], offsets[order[bounds[n]:bounds[n + 1]]])
            for n, code in enumerate(owners.tolist())}


def _walk(data: bytes, at_end: bool) -> tuple[list[int], int, str | None]:
    """Offsets of the whole messages in ``data`` (at their length prefix), the
    offset just past the last one, and what is wrong at that offset if the
    walk cannot go on (a zero length; at the end of the file, a cut message)."""
    starts: list[int] = []
    append = starts.append
    position, end = 0, len(data)
    while position + 2 <= end:
        length = (data[position] << 8) | data[position + 1]
        if not length:
            return starts, position, "message of length 0"
        following = position + 2 + length
        if following > end:
            break
        append(position)
        position = following
    if at_end and position < end:
        left = end - position
        if left >= 2:
            need = (data[position] << 8) | data[position + 1]
            return starts, position, f"truncated message: {need} bytes announced, {left - 2} left in the file"
        return starts, position, "truncated message: the file ends inside a length prefix"
    return starts, position, None


def _be(raw: np.ndarray, width: int) -> np.ndarray:
    """The big-endian unsigned integer of ``width`` bytes starting at each byte."""
    return np.ndarray(shape=(max(raw.size - width + 1, 0),), dtype=f">u{width}", buffer=raw, strides=(1,))


def _first_bad_length(data: bytes, starts: np.ndarray, path: str | Path, base: int) -> tuple[int, InputError] | None:
    """The first message whose length is not its type's (or whose type is
    unknown), with the error that names it."""
    if not len(starts):
        return None
    raw = np.frombuffer(data, dtype=np.uint8)
    kinds = raw[starts + 2]
    lengths = _be(raw, 2)[starts].astype(np.int64)
    wrong = np.flatnonzero(_LENGTH_OF[kinds] != lengths)
    if not wrong.size:
        return None
    k = int(wrong[0])
    kind, length, offset = int(kinds[k]), int(lengths[k]), base + int(starts[k])
    letter = chr(kind) if 32 < kind < 127 else f"0x{kind:02x}"
    if not _LENGTH_OF[kind]:
        return k, InputError(path, f"unknown message type {letter!r} (length {length})", offset=offset)
    return k, InputError(path, f"message type {letter!r} has length {length}, expected {_LENGTH_OF[kind]}",
                         offset=offset)
