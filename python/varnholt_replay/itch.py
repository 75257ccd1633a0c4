"""NASDAQ TotalView-ITCH 5.0 files, turned into replay events per symbol.

Each message is preceded by its length (2 bytes, big-endian) and starts with
its type letter, the stock locate (2 bytes), a tracking number (2 bytes) and
a timestamp (6 bytes, nanoseconds after midnight); every field is
big-endian, prices have 4 implied decimals (used as ``price_in_ticks`` on a
book with tick size 0.0001) and order references are 64-bit.  The messages
and what they become:

* ``R`` stock directory: names the stock of a locate code;
* ``A``/``F`` add order: an add (the order reference is the ref);
* ``E`` executed, ``C`` executed with price: an immediate-or-cancel order of
  the executed shares on the other side at the resting order's price, which
  must fill from that order alone (``C``'s own price is not used: the book
  trades at the resting price);
* ``X`` cancel: an amend to the open shares less the cancelled ones (in
  place), or a cancel if none are left;
* ``D`` delete: a cancel;
* ``U`` replace: a cancel of the original reference and an add of the new
  one with the original's side, the new price and shares (at the back of its
  level);
* ``P``, ``Q``, ``B`` (trades) and every other known type (system events,
  trading actions, imbalances, ...): counted, not applied.

An unknown type, a message whose length is not its type's, or a file that
ends inside a message is an :class:`InputError` naming the byte offset.  A
message about an order reference that was never added (or is gone) cannot be
placed; it is counted as unknown and skipped.

The offsets of the messages are found by walking the length prefixes in a
tight loop; everything after that is vectorised over a block of messages
with big-endian views of the bytes.  Side, price and open shares of the
live orders are carried from block to block in sorted arrays
(:class:`~varnholt_replay.orders.LiveOrders`).  The events of every symbol
are kept in memory until the file is read; choosing symbols keeps only
theirs.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import book as bk
from .errors import InputError
from .orders import Groups, LiveOrders

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
DEFAULT_BLOCK_BYTES = 1 << 24


@dataclass
class SymbolEvents:
    """The replay events of one symbol of an ITCH file."""

    locate: int
    symbol: str
    events: np.ndarray
    offsets: np.ndarray  # byte offset of the message each event came from
    times: np.ndarray  # its timestamp, ns after midnight
    expected: np.ndarray  # ref an execution event must trade with, NO_REF for other events
    counts: dict[str, int] = field(default_factory=dict)  # messages per type letter
    unknown: int = 0  # messages about orders that are not live
    first_unknown: int | None = None  # byte offset of the first

    @property
    def messages(self) -> int:
        return sum(self.counts.values())


@dataclass
class ItchFile:
    """The symbols of an ITCH file, read."""

    path: str
    symbols: dict[int, SymbolEvents]
    counts: dict[str, int]  # messages per type letter, all symbols


class _Parts:
    """Per-symbol pieces collected block by block."""

    def __init__(self) -> None:
        self.events: list[np.ndarray] = []
        self.offsets: list[np.ndarray] = []
        self.times: list[np.ndarray] = []
        self.expected: list[np.ndarray] = []
        self.counts = np.zeros(256, dtype=np.int64)
        self.unknown = 0
        self.first_unknown: int | None = None


def read_itch(path: str | Path, symbols: Iterable[str] | None = None, *,
              block_bytes: int = DEFAULT_BLOCK_BYTES,
              progress: Callable[[int], None] | None = None) -> ItchFile:
    """Reads an ITCH 5.0 file into per-symbol replay events.

    ``symbols`` restricts the result to those stocks (names as in the stock
    directory, without padding); ``progress`` is called with the bytes read
    after each block.
    """
    reader = _Reader(Path(path), None if symbols is None else set(symbols))
    reader.run(block_bytes, progress)
    return reader.result()


class _Reader:
    def __init__(self, path: Path, wanted: set[str] | None) -> None:
        self.path = path
        self.wanted = wanted
        self.names: dict[int, str] = {}
        self.chosen = np.zeros(65536, dtype=bool) if wanted is not None else np.ones(65536, dtype=bool)
        self.parts: dict[int, _Parts] = {}
        self.orders = LiveOrders()
        self.counts = np.zeros(256, dtype=np.int64)

    def run(self, block_bytes: int, progress: Callable[[int], None] | None) -> None:
        try:
            source = open(self.path, "rb")
        except OSError as error:
            raise InputError(self.path, error.strerror or str(error)) from None
        with source:
            carry = b""
            base = 0  # file offset of carry[0]
            while True:
                chunk = source.read(block_bytes)
                data = carry + chunk
                starts, end = _walk(data)
                if not chunk:
                    if end < len(data):
                        _truncated(self.path, data, end, base)
                    return
                if starts:
                    self._block(data, np.array(starts, dtype=np.int64), base)
                carry = data[end:]
                base += end
                if progress is not None:
                    progress(len(chunk))

    def _block(self, data: bytes, starts: np.ndarray, base: int) -> None:
        raw = np.frombuffer(data, dtype=np.uint8)
        at = starts + 2  # each message's type byte
        kinds = raw[at]
        lengths = _be(raw, 2)[starts].astype(np.int64)
        wrong = np.flatnonzero(_LENGTH_OF[kinds] != lengths)
        if wrong.size:
            _bad_message(self.path, int(kinds[wrong[0]]), int(lengths[wrong[0]]), base + int(starts[wrong[0]]))
        self.counts += np.bincount(kinds, minlength=256)
        locate = _be(raw, 2)[at + 1].astype(np.int64)
        self._directory(raw, at[kinds == _R], locate[kinds == _R])
        mine = self.chosen[locate]
        if not mine.all():
            at, kinds, locate = at[mine], kinds[mine], locate[mine]
        self._count_per_symbol(kinds, locate)
        orders = np.isin(kinds, _ORDER_TYPES)
        if orders.any():
            self._orders(raw, at[orders], kinds[orders], locate[orders], base)

    def _directory(self, raw: np.ndarray, at: np.ndarray, locate: np.ndarray) -> None:
        for position, code in zip(at.tolist(), locate.tolist()):
            name = raw[position + 11:position + 19].tobytes().decode("ascii", "replace").strip()
            self.names[code] = name
            if self.wanted is not None:
                self.chosen[code] = name in self.wanted

    def _count_per_symbol(self, kinds: np.ndarray, locate: np.ndarray) -> None:
        keys, counts = np.unique(locate * 256 + kinds, return_counts=True)
        for key, count in zip(keys.tolist(), counts.tolist()):
            self._part(key >> 8).counts[key & 255] += count

    def _part(self, locate: int) -> _Parts:
        part = self.parts.get(locate)
        if part is None:
            part = self.parts[locate] = _Parts()
        return part

    def _orders(self, raw: np.ndarray, at: np.ndarray, kinds: np.ndarray, locate: np.ndarray, base: int) -> None:
        ops = _Operations.of(raw, at, kinds, locate)
        groups = ops.resolve(self.orders)
        if ops.known.all():
            open_after = self.orders.apply(ops.ref, ops.delta, ops.ends, ops.side, ops.price, groups)
        else:
            known = ops.known
            open_after = self.orders.apply(ops.ref[known], ops.delta[known], ops.ends[known], ops.side[known],
                                           ops.price[known])
        events, keep, expected = ops.events(open_after)
        self._unknown(ops, base)
        timestamps = (_be(raw, 8)[ops.at[keep] + 3] & np.uint64(2**48 - 1))
        offsets = ops.at[keep] - 2 + base
        owner = ops.locate[keep]
        order = np.argsort(owner, kind="stable")
        owners, first = np.unique(owner[order], return_index=True)
        bounds = np.append(first, len(order))
        for n, code in enumerate(owners.tolist()):
            rows = order[bounds[n]:bounds[n + 1]]
            part = self._part(code)
            part.events.append(events[rows])
            part.offsets.append(offsets[rows])
            part.times.append(timestamps[rows])
            part.expected.append(expected[rows])

    def _unknown(self, ops: _Operations, base: int) -> None:
        missing = np.flatnonzero(~ops.known)
        if not missing.size:
            return
        codes, first, counts = np.unique(ops.locate[missing], return_index=True, return_counts=True)
        for code, index, count in zip(codes.tolist(), first.tolist(), counts.tolist()):
            part = self._part(code)
            part.unknown += count
            if part.first_unknown is None:
                part.first_unknown = int(ops.at[missing[index]]) - 2 + base

    def result(self) -> ItchFile:
        if self.wanted is not None:
            absent = sorted(self.wanted - set(self.names.values()))
            if absent:
                raise InputError(self.path, f"no stock directory message for {', '.join(absent)}")
        symbols = {}
        empty = bk.empty_events(0)
        for code, part in sorted(self.parts.items()):
            if not self.chosen[code] or code == 0:  # locate 0: messages about the whole market
                continue
            symbols[code] = SymbolEvents(
                code, self.names.get(code, f"locate {code}"),
                np.concatenate(part.events) if part.events else empty,
                _joined(part.offsets, np.int64), _joined(part.times, np.uint64),
                _joined(part.expected, np.uint64), _letters(part.counts), part.unknown, part.first_unknown)
        return ItchFile(str(self.path), symbols, _letters(self.counts))


@dataclass
class _Operations:
    """The order messages of a block as operations on orders, in file order.

    A replace is two operations: its original order leaves, its new one
    enters.  ``resolve`` finds the side and price of the orders that
    messages name by reference.
    """

    at: np.ndarray  # position of the message's type byte
    kind: np.ndarray
    locate: np.ndarray
    ref: np.ndarray
    side: np.ndarray
    price: np.ndarray
    shares: np.ndarray
    entering: np.ndarray  # the operation puts a new order in the book (A, F, the new side of U)
    known: np.ndarray = field(init=False)

    @classmethod
    def of(cls, raw: np.ndarray, at: np.ndarray, kinds: np.ndarray, locate: np.ndarray) -> _Operations:
        u4, u8 = _be(raw, 4), _be(raw, 8)
        replaced = np.flatnonzero(kinds == _U)
        # each replace appears twice: first as its original order leaving, then as its new order
        order = np.argsort(np.concatenate([np.arange(len(at)) * 2, replaced * 2 + 1]), kind="stable")
        source = np.concatenate([np.arange(len(at)), replaced])[order]
        second = np.concatenate([np.zeros(len(at), bool), np.ones(len(replaced), bool)])[order]
        at, kinds, locate = at[source], kinds[source], locate[source]
        is_add = (kinds == _A) | (kinds == _F)
        ref = u8[at + 11].astype(np.uint64)
        ref[second] = u8[at[second] + 19]
        shares = np.zeros(len(at), dtype=np.int64)
        with_shares = np.flatnonzero(np.isin(kinds, [_E, _C, _X]))
        shares[with_shares] = u4[at[with_shares] + 19]
        shares[is_add] = u4[at[is_add] + 20]
        shares[second] = u4[at[second] + 27]
        price = np.zeros(len(at), dtype=np.int64)
        price[is_add] = u4[at[is_add] + 32]
        price[second] = u4[at[second] + 31]
        side = np.zeros(len(at), dtype=np.uint8)
        side[is_add] = raw[at[is_add] + 19] == ord("S")
        return cls(at, kinds, locate, ref, side, price, shares, is_add | second)

    def resolve(self, live: LiveOrders) -> Groups:
        """Side and price of every operation's order, from the block's own
        earlier entries (following chains of replaces) or the live orders.
        Returns the grouping of the operations by ref."""
        n = len(self.ref)
        groups = Groups.of(self.ref)
        heads = groups.heads
        entered = self.entering[heads]  # the group's order enters in this block
        found, at = live.find(groups.keys)
        # per operation: the operation that entered its order (-1: a live order)
        source = np.full(n, -1, dtype=np.int64)
        source[groups.order] = np.where(entered, heads, -1)[groups.group]
        naming = ~self.entering
        from_live = naming & (source < 0)
        live_at = np.empty(n, dtype=np.intp)
        live_at[groups.order] = at[groups.group]
        self.known = np.empty(n, dtype=bool)
        self.known[groups.order] = (entered | found)[groups.group]
        resolved = np.flatnonzero(from_live & self.known)
        self.side[resolved] = live.side[live_at[resolved]]
        self.price[resolved] = live.price[live_at[resolved]]
        in_block = np.flatnonzero(naming & (source >= 0))
        self.price[in_block] = self.price[source[in_block]]
        # The new order of a replace takes the side of the original (the
        # operation just before it), which may itself be the new order of an
        # earlier replace in the block: follow the chains to their ends.
        parent = np.arange(n)
        parent[in_block] = source[in_block]
        replacing = np.flatnonzero(self.entering & (self.kind == _U))
        parent[replacing] = replacing - 1
        parent = _roots(parent)
        self.side = self.side[parent]
        self.known &= self.known[parent]
        return groups

    @property
    def delta(self) -> np.ndarray:
        return np.where(self.entering, self.shares, -self.shares)

    @property
    def ends(self) -> np.ndarray:
        return (self.kind == _D) | ((self.kind == _U) & ~self.entering)

    def events(self, open_after: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The events of the known operations, their rows, and the ref each
        execution must trade with (``NO_REF`` for other events)."""
        keep = np.flatnonzero(self.known)
        kind, ref = self.kind[keep], self.ref[keep]
        entering = self.entering[keep]
        execute = (kind == _E) | (kind == _C)
        amend = (kind == _X) & (open_after > 0)
        events = bk.empty_events(len(keep))
        events["kind"] = np.select([entering, amend, execute], [bk.ADD, bk.AMEND, bk.IMMEDIATE_OR_CANCEL], bk.CANCEL)
        events["side"] = self.side[keep] ^ execute
        events["price_in_ticks"] = self.price[keep]
        shares = self.shares[keep]
        events["quantity"] = np.where(amend, open_after, np.where(shares > 0, shares, 1))
        events["ref"] = np.where(execute, np.uint64(bk.EXECUTION_REF), ref)
        expected = np.where(execute, ref, np.uint64(bk.NO_REF))
        return events, keep, expected


def _roots(parent: np.ndarray) -> np.ndarray:
    """Follows parent links to their ends (pointer jumping)."""
    while True:
        grand = parent[parent]
        if np.array_equal(grand, parent):
            return parent
        parent = grand


def _walk(data: bytes) -> tuple[list[int], int]:
    """Offsets of the whole messages in ``data`` (at their length prefix) and
    the offset just past the last one."""
    starts: list[int] = []
    append = starts.append
    position, end = 0, len(data)
    while position + 2 <= end:
        following = position + 2 + ((data[position] << 8) | data[position + 1])
        if following > end:
            break
        append(position)
        position = following
    return starts, position


def _be(raw: np.ndarray, width: int) -> np.ndarray:
    """The big-endian unsigned integer of ``width`` bytes starting at each byte."""
    return np.ndarray(shape=(max(raw.size - width + 1, 0),), dtype=f">u{width}", buffer=raw, strides=(1,))


def _bad_message(path: Path, kind: int, length: int, offset: int) -> None:
    letter = chr(kind) if 32 < kind < 127 else f"0x{kind:02x}"
    if not _LENGTH_OF[kind]:
        raise InputError(path, f"unknown message type {letter!r} (length {length})", offset=offset)
    raise InputError(path, f"message type {letter!r} has length {length}, expected {_LENGTH_OF[kind]}",
                     offset=offset)


def _truncated(path: Path, data: bytes, end: int, base: int) -> None:
    left = len(data) - end
    if left >= 2:
        need = (data[end] << 8) | data[end + 1]
        reason = f"truncated message: {need} bytes announced, {left - 2} left in the file"
    else:
        reason = "truncated message: the file ends inside a length prefix"
    raise InputError(path, reason, offset=base + end)


def _joined(parts: list[np.ndarray], dtype: type) -> np.ndarray:
    return np.concatenate(parts) if parts else np.empty(0, dtype=dtype)


def _letters(counts: np.ndarray) -> dict[str, int]:
    return {chr(k): int(c) for k, c in enumerate(counts.tolist()) if c}
