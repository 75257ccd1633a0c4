"""LOBSTER message and orderbook files: reading them, their feed events, and the
model that verifies a book against a level-N orderbook file.

A message file is CSV, one message per line::

    time,type,order id,size,price,direction[,attribution]

``time`` is seconds after midnight with up to nine decimals (read exactly,
as integer nanoseconds), ``price`` is the price times 10000 (used as
``price_in_ticks`` on a book with tick size 0.0001), ``direction`` is 1 for
a buy order and -1 for a sell order.  A header line (``Time,Type,...``) and a
7th column (the attribution: ``null`` or a market participant id) are
accepted and ignored.  Each message becomes one feed event:

1. new limit order: a post of ``size`` under the order id;
2. partial cancellation: a reduction of ``size`` (the order keeps its place);
3. deletion: a cancel (under the level model, a reduction by the size it
   names, see below);
4. execution of a visible order: an execution of ``size`` of the named order,
   wherever it stands in its queue (the book reports whether it was at the
   front; executions behind others are counted);
5. hidden execution, 6. cross trade, 7. trading halt (and quoting, resume):
   counted, no event.

An orderbook file has one row per message, the book after it: for each of N
levels the ask price, ask size, bid price and bid size; missing levels are
padded with price 9999999999 (asks) or -9999999999 (bids) and size 0.

**What a level-N file leaves out.**  LOBSTER writes only the messages that
changed the top N levels at that moment: an order entered, reduced or
deleted at a price outside the window never appears, nor do the orders
resting before the file starts.  So a level that comes (back) into the
window can hold more, less or other volume than the file's own messages
account for.  The model (:class:`LevelModel`, used when verifying):

* The book starts with one *stand-in* order per level of the first row
  (the row after message 1, with message 1's own change taken back out).
  Stand-ins have refs from ``STAND_IN_BASE`` up; a level has at most one.
* After each message, every level that was outside the previous row's
  window and is inside this row's is *reconciled* with the row through its
  stand-in: volume the book lacks is added to the stand-in (a stand-in that
  grows is replaced, so it queues at the back: that volume was entered while
  the level was out of view, after the orders the file showed there), volume
  it has too much is taken off the stand-in (in place).  When the stand-in
  holds less than must go, orders of the file at that level left unseen;
  which ones cannot be told, so the level is *folded*: the file's orders
  there are cancelled and one stand-in holds the row's volume.
* Levels inside both windows must match the row exactly; a difference is a
  divergence, reported with its line.
* A message about an id the file never added (or that was folded) acts on
  the stand-in of its level (its price and direction name the level); if
  that stand-in holds too little, the level is folded first.  A message the
  level cannot cover at all is counted as an orphan and not replayed.

The book does the order-level work (queues, executions, open quantities);
the model keeps, per level, what it needs to place stand-ins: the level's
volume, its stand-in, and the ids the file posted there.  Without
verification no model is kept: the events go to the book one to one and
messages about orders it does not hold come back as unknown references
(counted as orphans).
"""

from __future__ import annotations

import heapq
import re
import zipfile
from bisect import bisect_left, insort
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, replace
from itertools import repeat
from pathlib import Path

import numpy as np

from .. import book as bk
from ..csvscan import PAD, Layout, ScanError, line_text, scan, table
from ..errors import InputError
from ..textio import DEFAULT_BLOCK_BYTES, Block, BlockReader

NEW, PARTIAL_CANCEL, DELETE, EXECUTE, HIDDEN_EXECUTE, CROSS, HALT = range(1, 8)
NOT_APPLIED = {HIDDEN_EXECUTE: "hidden execute", CROSS: "cross trade", HALT: "halt"}
"""Message types counted and not applied, by the name they are reported under."""
ASK_PAD, BID_PAD = 9_999_999_999, -9_999_999_999
# the feed verb of each message type (0 for those without an event)
_VERB = np.array([0, bk.POST, bk.REDUCE, bk.CANCEL, bk.EXECUTE, 0, 0, 0], dtype=np.uint8)

# under the level model a deletion is a reduction by the size it names (see LevelModel._walk)
_MODEL_VERB = np.array([0, bk.POST, bk.REDUCE, bk.REDUCE, bk.EXECUTE, 0, 0, 0], dtype=np.uint8)

# seconds . fraction , type , id , size , price , direction; a cross trade has id -1, a halt price -1
MESSAGE_LAYOUT = Layout(b".,,,,,\n", frozenset({3, 5, 6}))
_SECONDS, _FRACTION, _TYPE, _ID, _SIZE, _PRICE, _DIRECTION = range(7)
_TENS = 10 ** (9 - np.arange(10, dtype=np.int64))


@dataclass(frozen=True)
class Messages:
    """The messages of one block, one array entry per line."""

    path: str
    first_line: int
    type: np.ndarray  # int8, 1 to 7
    order_id: np.ndarray  # int64
    size: np.ndarray  # int64
    price: np.ndarray  # int64, price x 10000
    direction: np.ndarray  # int8, 1 buy, -1 sell
    time: np.ndarray  # int64 nanoseconds after midnight
    end_offset: int  # file offset just past the block

    def __len__(self) -> int:
        return len(self.type)

    def part(self, start: int, stop: int) -> Messages:
        """Rows ``start`` to ``stop`` (exclusive)."""
        rows = slice(start, stop)
        return replace(self, first_line=self.first_line + start, type=self.type[rows],
                       order_id=self.order_id[rows], size=self.size[rows], price=self.price[rows],
                       direction=self.direction[rows], time=self.time[rows])

    def events(self) -> tuple[np.ndarray, np.ndarray]:
        """One feed event per message of a type that changes the book, in
        order, and the message (in the block) of each."""
        applied = np.flatnonzero(_VERB[self.type] != 0)
        events = bk.make_events(_VERB[self.type[applied]], (self.direction[applied] < 0).view(np.uint8),
                                self.price[applied], self.size[applied].astype(np.float64),
                                self.order_id[applied].view(np.uint64), self.time[applied].view(np.uint64))
        return events, applied


# Reading ----------------------------------------------------------------------------

def source_of(path: str | Path) -> tuple[str, str | None]:
    """A file, or ``ARCHIVE.zip/MEMBER``: the archive and the member within it."""
    text = str(path)
    lower = text.lower()
    at = lower.find(".zip/")
    if at < 0:
        return text, None
    return text[:at + 4], text[at + 5:]


def _blocks(path: str | Path, block_bytes: int) -> Iterator[Block]:
    """Blocks of whole lines of a file, or of a member of a zip archive."""
    archive, member = source_of(path)
    if member is None:
        yield from BlockReader(path, block_bytes)
        return
    try:
        with zipfile.ZipFile(archive) as bundle, bundle.open(member) as stream:
            yield from BlockReader(path, block_bytes, stream=stream)  # type: ignore[arg-type]
    except (OSError, KeyError, zipfile.BadZipFile) as error:
        raise InputError(path, str(error.args[0] if isinstance(error, KeyError) else error)) from None


def _data_lines(blocks: Iterator[Block]) -> Iterator[tuple[Block, int]]:
    """The blocks with a header line (one that starts with a letter) left out
    of the first, and the line number each block starts at."""
    line = 1
    for block in blocks:
        if line == 1 and block.stop > block.start and chr(block.raw[block.start]).isalpha():
            header_end = int(np.argmax(block.raw[block.start:block.stop] == 10)) + block.start + 1
            block = replace(block, start=header_end)
            line = 2
            if block.start >= block.stop:
                continue
        yield block, line
        line += int(np.count_nonzero(block.raw[block.start:block.stop] == 10))


def read_messages(path: str | Path, *, block_bytes: int = DEFAULT_BLOCK_BYTES) -> Iterator[Messages]:
    """The messages of a LOBSTER message file, block by block.

    Raises :class:`InputError` naming the line of the first malformed row.
    """
    for block, line in _data_lines(_blocks(path, block_bytes)):
        yield parse_messages(_without_attribution(block), str(path), line)


def _without_attribution(block: Block) -> Block:
    """The block with a 7th column (the attribution) cut off every line."""
    data = block.raw[block.start:block.stop]
    first_line_end = int(np.argmax(data == 10))
    if np.count_nonzero(data[:first_line_end] == 44) != 6:
        return block
    separators = np.flatnonzero((data == 44) | (data == 10))
    if len(separators) % 7 or np.any(data[separators[6::7]] != 10):
        return block  # not every line has 7 fields: the scan names the first that differs
    cut = np.zeros(len(data) + 1, dtype=np.int8)
    np.add.at(cut, separators[5::7], 1)
    np.add.at(cut, separators[6::7], -1)
    kept = data[np.cumsum(cut[:-1]) == 0]
    raw = np.concatenate([np.zeros(PAD, np.uint8), kept])
    return Block(raw, PAD, len(raw), block.end_offset)


def parse_messages(block: Block, path: str, first_line: int) -> Messages:
    """The messages of one block of a message file."""
    try:
        tokens = scan(block.raw, block.start, block.stop, MESSAGE_LAYOUT)
        time = _nanoseconds(tokens.unsigned(_SECONDS), tokens.unsigned(_FRACTION), tokens.lengths(_FRACTION))
        messages = Messages(path, first_line, tokens.digit(_TYPE), tokens.integer(_ID), tokens.integer(_SIZE),
                            tokens.integer(_PRICE), tokens.digit(_DIRECTION), time, block.end_offset)
        _check_values(messages)
    except ScanError as error:
        raise InputError(path, f"malformed message: {error.reason}", line=first_line + error.row,
                         text=line_text(block.raw, block.start, block.stop, error.row)) from None
    return messages


def _nanoseconds(seconds: np.ndarray, fraction: np.ndarray, digits: np.ndarray) -> np.ndarray:
    """Integer nanoseconds from the two parts of the decimal text, exactly:
    ``34200.1`` is 34200100000000 ns, not the nearest double times 1e9.  More
    than nine decimals (real files have ``43002.632812672004``, a double
    printed in full) are rounded to the nanosecond, half up."""
    time = seconds * 10**9 + fraction * _TENS[np.minimum(digits, 9)]
    finer = np.flatnonzero(digits > 9)
    if finer.size:
        scale = 10 ** (digits[finer] - 9)
        time[finer] = seconds[finer] * 10**9 + (fraction[finer] + scale // 2) // scale
    return time


def _check_values(m: Messages) -> None:
    book_changing = (m.type >= NEW) & (m.type <= EXECUTE)
    checks = [
        ((m.type < NEW) | (m.type > HALT), "event type must be 1 to 7"),
        ((m.direction != 1) & (m.direction != -1), "direction must be 1 or -1"),
        (book_changing & ((m.order_id < 0) | (m.order_id >= bk.STAND_IN_BASE)),
         f"order id must be 0 to {bk.STAND_IN_BASE - 1}"),
        (book_changing & (m.size <= 0), "size must be positive"),
        (book_changing & (m.price <= 0), "price must be positive"),
    ]
    for bad, reason in checks:
        if bad.any():
            raise ScanError(int(np.argmax(bad)), reason)


class OrderbookRows:
    """The rows of a LOBSTER orderbook file, taken in step with the messages."""

    def __init__(self, path: str | Path, levels: int | None = None, *,
                 block_bytes: int = DEFAULT_BLOCK_BYTES) -> None:
        self.path = str(path)
        self.levels = levels if levels is not None else _levels_in(self.path)
        # only bid prices are negative (the padding of missing levels)
        self.layout = Layout(b"," * (4 * self.levels - 1) + b"\n", frozenset(range(2, 4 * self.levels, 4)))
        self.line = 1
        self._blocks = _data_lines(_blocks(self.path, block_bytes))
        self._pending = np.empty((0, 4 * self.levels), dtype=np.int64)
        self._pending_line = 1

    def take(self, count: int) -> np.ndarray:
        """The next ``count`` rows (fewer where the file ends), shape (count, 4 x levels)."""
        parts = [self._pending]
        have = len(self._pending)
        while have < count:
            found = next(self._blocks, None)
            if found is None:
                break
            block, line = found
            rows = self._parse(block, line)
            parts.append(rows)
            have += len(rows)
        rows = np.concatenate(parts) if len(parts) > 1 else parts[0]
        self._pending = rows[count:]
        taken = rows[:count]
        self.line += len(taken)
        return taken

    def left_over(self) -> bool:
        """Whether rows remain after those taken."""
        return bool(len(self._pending)) or next(self._blocks, None) is not None

    def _parse(self, block: Block, first_line: int) -> np.ndarray:
        try:
            return table(block.raw, block.start, block.stop, self.layout)
        except ScanError as error:
            raise InputError(self.path, f"malformed orderbook row ({self.levels} levels): {error.reason}",
                             line=first_line + error.row,
                             text=line_text(block.raw, block.start, block.stop, error.row)) from None


def _levels_in(path: str) -> int:
    """Levels per row of an orderbook file, from its first data line."""
    for block, line in _data_lines(_blocks(path, 1 << 16)):
        data = block.raw[block.start:block.stop]
        first = data[:int(np.argmax(data == 10)) + 1].tobytes()
        fields = first.count(b",") + 1
        if fields % 4:
            raise InputError(path, "an orderbook row has 4 fields per level", line=line,
                             text=first[:120].decode("utf-8", "replace").rstrip())
        return fields // 4
    raise InputError(path, "no orderbook rows (the file is empty)")


_MESSAGE_NAME = re.compile(r"^(?P<stem>.*)_message_(?P<levels>\d+)\.csv$", re.IGNORECASE)


def orderbook_for(message_path: str | Path) -> tuple[str, int] | None:
    """The orderbook file beside a message file (``X_message_N.csv`` has
    ``X_orderbook_N.csv``, in the same folder or zip archive) and its level
    count, if it is there."""
    archive, member = source_of(message_path)
    name = Path(member if member is not None else archive).name
    match = _MESSAGE_NAME.match(name)
    if not match:
        return None
    book_name = f"{match['stem']}_orderbook_{match['levels']}.csv"
    if member is None:
        candidate = Path(archive).with_name(book_name)
        return (str(candidate), int(match["levels"])) if candidate.exists() else None
    inner = str(Path(member).with_name(book_name)) if "/" in member else book_name
    return (f"{archive}/{inner}", int(match["levels"])) if inner in archive_members(archive) else None


def archive_members(archive: str | Path) -> list[str]:
    """The names of the files in a zip archive (none if it cannot be read)."""
    try:
        with zipfile.ZipFile(archive) as bundle:
            return [info.filename for info in bundle.infolist() if not info.is_dir()]
    except (OSError, zipfile.BadZipFile):
        return []


def message_files_in(archive: str | Path) -> list[str]:
    """The message files of a LOBSTER zip archive, as ``ARCHIVE/MEMBER`` paths."""
    return [f"{archive}/{name}" for name in archive_members(archive) if _MESSAGE_NAME.match(Path(name).name)]


# The level model ---------------------------------------------------------------------

def levels_from_row(row: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Side, price and size of every level an orderbook row shows."""
    ask_price, ask_size, bid_price, bid_size = (row[k::4] for k in range(4))
    asks = ask_size > 0
    bids = bid_size > 0
    side = np.concatenate([np.full(bids.sum(), bk.BUY), np.full(asks.sum(), bk.SELL)]).astype(np.uint8)
    return side, np.concatenate([bid_price[bids], ask_price[asks]]), np.concatenate([bid_size[bids], ask_size[asks]])


def levels_before(row: np.ndarray, first: Messages) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The levels of the book before message 1, from the row after it."""
    side, price, size = levels_from_row(row)
    kind = int(first.type[0])
    if kind not in (NEW, PARTIAL_CANCEL, DELETE, EXECUTE):
        return side, price, size
    change = int(first.size[0]) if kind != NEW else -int(first.size[0])
    s, p = int(first.direction[0] < 0), int(first.price[0])
    at = np.flatnonzero((side == s) & (price == p))
    if at.size:
        size = size.copy()
        size[at[0]] += change
    elif change > 0:
        side, price, size = np.append(side, s).astype(np.uint8), np.append(price, p), np.append(size, change)
    keep = size > 0
    return side[keep], price[keep], size[keep]


def window_edges(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per row, the worst bid and ask price inside its window: the Nth level,
    or the whole side (-inf / +inf) when the row shows fewer than N."""
    n = rows.shape[1] // 4
    bid_edge = np.where(rows[:, 4 * n - 1] > 0, rows[:, 4 * n - 2], np.iinfo(np.int64).min)
    ask_edge = np.where(rows[:, 4 * n - 3] > 0, rows[:, 4 * n - 4], np.iinfo(np.int64).max)
    return bid_edge, ask_edge


@dataclass
class Translation:
    """The feed events of a block of messages under the level model."""

    events: np.ndarray
    line_of: np.ndarray  # message (in the block) of each event
    last_event: np.ndarray  # per message, index of its last event (-1: none yet in the block)
    from_feed: np.ndarray  # events that stand for a message (not the model's own)
    orphans: int  # messages that no order of their level could cover, not replayed
    folds: int
    reconciled: int  # levels brought to a row through their stand-in


def _new_in_view(rows: np.ndarray, edges: tuple[np.ndarray, ...]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The levels the rows show that were outside the previous row's window:
    their rows, level keys (``price * 2 + side``) and sizes, bids before asks
    and better levels first within a row."""
    bid_edge, previous_bid, ask_edge, previous_ask = edges
    found = []
    for side, prices, sizes, new in (
            (bk.BUY, rows[:, 2::4], rows[:, 3::4], lambda p: p < previous_bid[:, None]),
            (bk.SELL, rows[:, 0::4], rows[:, 1::4], lambda p: p > previous_ask[:, None])):
        at_row, at_level = np.nonzero((sizes > 0) & new(prices))
        found.append((at_row, prices[at_row, at_level] * 2 + side, sizes[at_row, at_level]))
    row = np.concatenate([found[0][0], found[1][0]])
    order = np.argsort(row, kind="stable")
    return tuple(np.concatenate([found[0][k], found[1][k]])[order] for k in range(3))  # type: ignore[return-value]


def _resets(universe: np.ndarray, into_view: np.ndarray, shown: tuple[np.ndarray, ...],
            ranges: tuple[np.ndarray, ...]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every level of ``universe`` between the old and the new edge of a row whose
    window moved, as (row, key, the row's volume there: 0 where it shows none), in
    the order the reconciliations happen (by row, then key)."""
    rows, keys = [], []
    for side in (bk.BUY, bk.SELL):
        side_keys = universe[(universe & 1) == side]
        prices = side_keys >> 1
        if side == bk.BUY:  # [edge, previous edge)
            first, last = np.searchsorted(prices, ranges[0]), np.searchsorted(prices, ranges[1])
        else:  # (previous edge, edge]
            first = np.searchsorted(prices, ranges[2], side="right")
            last = np.searchsorted(prices, ranges[3], side="right")
        count = np.maximum(last - first, 0)
        ends = np.cumsum(count)
        rows.append(np.repeat(into_view, count))
        keys.append(side_keys[np.repeat(first - ends + count, count) + np.arange(ends[-1] if len(ends) else 0)])
    # one code per (row, level), sorted
    width = max(len(universe), 1)
    code = np.sort(np.concatenate(rows) * width + np.searchsorted(universe, np.concatenate(keys)))
    shown_row, shown_key, shown_size = shown
    wanted = np.zeros(len(code), dtype=np.int64)
    wanted[np.searchsorted(code, shown_row * width + np.searchsorted(universe, shown_key))] = shown_size
    return code // width, universe[code % width], wanted


_MODEL_EVENT = np.dtype([("kind", np.uint8), ("side", np.uint8), ("price_in_ticks", np.int64),
                         ("quantity", np.float64), ("ref", np.uint64), ("new_ref", np.uint64), ("place", np.int64)])
"""An event of the model as :meth:`LevelModel._emit` records it, with its place among the messages'."""


class LevelModel:
    """What the verification keeps per level to place stand-ins (see the module notes).

    Levels are keyed ``price * 2 + side``.  The file's own messages become
    their events in one vectorised step; the level volumes and the
    reconciliations that change a level come from array passes over the block
    (:meth:`_walk_fast`), and only the stand-ins' bookkeeping is walked in
    Python: messages sent to a stand-in, orphans, and the model's own events
    (folds before a message, reconciliations after it).  Blocks the array
    passes do not cover go through :meth:`_walk`, which keeps the volumes
    message by message and gives the same events.
    """

    def __init__(self) -> None:
        self.volume: dict[int, int] = {}
        self.stand_in: dict[int, tuple[int, int]] = {}  # key -> (ref, quantity)
        self.posted: dict[int, int] = {}  # id of a file order -> its level key
        # level key -> ids the file posted there (some of them gone since: a fold skips those)
        self.ids_at: dict[int, list[int]] = {}
        self.prices: tuple[list[int], list[int]] = ([], [])  # prices with volume, per side, ascending
        self.next_stand_in = bk.STAND_IN_BASE
        self.reconciled = self.folds = 0  # since the last translation
        self.out: list[tuple[int, int, int, float, int, int, int]] = []
        self.place = 0  # where the model's next events go: 3 j before message j, 3 j + 2 after it

    def _emit(self, kind: int, key: int, quantity: int, ref: int, new_ref: int = bk.NO_REF) -> None:
        self.out.append((kind, key & 1, key >> 1, float(quantity), ref, new_ref, self.place))

    def seed(self, side: np.ndarray, price: np.ndarray, size: np.ndarray, time: int) -> np.ndarray:
        """Events that put one stand-in per level into an empty book."""
        self.out = []
        for s, p, q in zip(side.tolist(), price.tolist(), size.tolist()):
            self._grow(p * 2 + s, q)
        events, _ = self._model_events()
        events["timestamp"] = time
        return events

    def _model_events(self) -> tuple[np.ndarray, np.ndarray]:
        """The model's events so far, and where each goes (see ``place``)."""
        # one conversion of the whole list of tuples, not one per column (90,000 events: 66 ms -> 36 ms)
        table = np.array(self.out, dtype=_MODEL_EVENT)
        events = bk.empty_events(len(self.out))
        for name in ("kind", "side", "price_in_ticks", "quantity", "ref", "new_ref"):
            events[name] = table[name]
        return events, table["place"]

    def _level_changed(self, key: int, change: int) -> None:
        before = self.volume.get(key, 0)
        after = before + change
        if after:
            self.volume[key] = after
            if not before:
                insort(self.prices[key & 1], key >> 1)
        else:
            self.volume.pop(key, None)
            if before:
                prices = self.prices[key & 1]
                del prices[bisect_left(prices, key >> 1)]

    def _grow(self, key: int, quantity: int, track: bool = True) -> None:
        """Adds volume to the level's stand-in, which queues at the back (``track``: and
        to the level's volume)."""
        ref = self.next_stand_in
        self.next_stand_in += 1
        old = self.stand_in.get(key)
        if old is None:
            self._emit(bk.POST, key, quantity, ref)
            self.stand_in[key] = (ref, quantity)
        else:
            self._emit(bk.REPLACE, key, old[1] + quantity, old[0], ref)
            self.stand_in[key] = (ref, old[1] + quantity)
        if track:
            self._level_changed(key, quantity)

    def _shrink(self, key: int, quantity: int, track: bool = True) -> None:
        """Takes volume off the level's stand-in, in place (it holds enough; ``track``: and
        off the level's volume)."""
        ref, held = self.stand_in[key]
        self._emit(bk.REDUCE, key, quantity, ref)
        if held == quantity:
            del self.stand_in[key]
        else:
            self.stand_in[key] = (ref, held - quantity)
        if track:
            self._level_changed(key, -quantity)

    def _fold(self, key: int) -> None:
        """The file's orders of a level leave; its stand-in takes their volume."""
        self.folds += 1
        posted = self.posted
        for order_id in self.ids_at.pop(key, ()):
            if posted.get(order_id) == key:
                self._emit(bk.CANCEL, key, 0, order_id)
                del posted[order_id]
        volume = self.volume.get(key, 0)
        held = self.stand_in[key][1] if key in self.stand_in else 0
        if volume > held:
            self._level_changed(key, held - volume)
            self._grow(key, volume - held)

    def _reconcile(self, key: int, wanted: int) -> None:
        """Brings a level that has just come into view to the row's volume."""
        change = wanted - self.volume.get(key, 0)
        if not change:
            return
        self.reconciled += 1
        if change > 0:
            self._grow(key, change)
            return
        held = self.stand_in[key][1] if key in self.stand_in else 0
        if held < -change:
            self._fold(key)
            change = wanted - self.volume.get(key, 0)
        if change:
            self._shrink(key, -change)

    def translate(self, m: Messages, rows: np.ndarray, edges_before: tuple[int, int]) -> Translation:
        """The events of a block of messages, with the stand-ins that the rows
        call for after each message."""
        self.out = []
        bid_edge, ask_edge = window_edges(rows)
        previous_bid = np.concatenate([[edges_before[0]], bid_edge[:-1]])
        previous_ask = np.concatenate([[edges_before[1]], ask_edge[:-1]])
        moved = np.flatnonzero((bid_edge < previous_bid) | (ask_edge > previous_ask))
        shown = _new_in_view(rows, (bid_edge, previous_bid, ask_edge, previous_ask))
        sent_to = self._walk_fast(m, moved, shown, (bid_edge[moved], previous_bid[moved], previous_ask[moved],
                                                    ask_edge[moved]))
        if sent_to is None:
            into_view = moved.tolist()
            by_row: dict[int, list[tuple[int, int, int]]] = {}
            for j, key, size in zip(*(column.tolist() for column in shown)):
                by_row.setdefault(j, []).append((key & 1, key >> 1, size))
            edges = {j: (b, pb, a, pa) for j, b, pb, a, pa in zip(
                into_view, *(e[moved].tolist() for e in (bid_edge, previous_bid, ask_edge, previous_ask)))}
            sent_to = self._walk(m, into_view, by_row, edges)
        return self._assemble(m, sent_to)

    def _walk(self, m: Messages, into_view: list[int], shown: dict[int, list[tuple[int, int, int]]],
              edges: dict[int, tuple[int, int, int, int]]) -> dict[int, int]:
        """Keeps the levels through the messages; returns the ref each message
        about an order the file did not post goes to (``NO_REF``: none, an
        orphan)."""
        sent_to: dict[int, int] = {}
        kinds, ids, sizes = m.type.tolist(), m.order_id.tolist(), m.size.tolist()
        keys = (m.price * 2 + (m.direction < 0)).tolist()
        posted, volume, ids_at, prices = self.posted, self.volume, self.ids_at, self.prices
        views = iter(into_view + [len(kinds)])
        next_view = next(views)
        for j, kind in enumerate(kinds):
            if kind == NEW:
                key, order_id = keys[j], ids[j]
                posted[order_id] = key
                ids_at.setdefault(key, []).append(order_id)
                before = volume.get(key, 0)
                volume[key] = before + sizes[j]
                if not before:
                    insort(prices[key & 1], key >> 1)
            elif kind <= EXECUTE:
                order_id = ids[j]
                home = posted.get(order_id)
                if home is not None:
                    # A deletion stays posted: it takes the size it names, and an order that lost
                    # volume unseen keeps that stale rest in the book (counted in its level's
                    # volume), for a fold to take out.
                    self._level_changed(home, -sizes[j])
                else:
                    sent_to[j] = self._to_stand_in(j, keys[j], sizes[j])
            if j == next_view:
                self.place = 3 * j + 2
                self._into_view(shown.get(j, ()), *edges[j])
                next_view = next(views)
        return sent_to

    # The vectorised walk -------------------------------------------------------------
    #
    # A level's volume after any message is what its last reconciliation set it to (or what it held
    # before the block) plus the file's own changes since: a reconciliation brings the level to the
    # row, while a fold and a message sent to a stand-in leave its volume as it was.  So the volumes,
    # and with them every reconciliation that changes a level, come out of a few array passes over
    # the block; only the stand-ins' bookkeeping (messages sent to them, reconciliations that change
    # a level, folds) is walked in Python, a few percent of the messages.  Blocks this does not
    # cover (an id posted twice, a message at another level than its order's, a volume that would
    # go below what a message takes) go through _walk, which keeps the volumes message by message.

    def _walk_fast(self, m: Messages, into_view: np.ndarray, shown: tuple[np.ndarray, ...],
                   ranges: tuple[np.ndarray, ...]) -> dict[int, int] | None:
        """What :meth:`_walk` does, in array passes; None (and nothing changed) where it cannot."""
        keys = m.price * 2 + (m.direction < 0)
        is_new = m.type == NEW
        acting = (m.type > NEW) & (m.type <= EXECUTE)
        new_at, act_at = np.flatnonzero(is_new), np.flatnonzero(acting)
        new_ids, act_ids = m.order_id[new_at], m.order_id[act_at]
        posted = self.posted
        if len(np.unique(new_ids)) != len(new_ids) or not posted.keys().isdisjoint(new_ids.tolist()):
            return None
        # where each order that a message names was posted: in the block (its line), or before it
        by_id = np.argsort(new_ids, kind="stable")
        post_line = np.full(len(act_at), -1, dtype=np.int64)
        if len(new_ids):
            found = np.minimum(np.searchsorted(new_ids[by_id], act_ids), len(new_ids) - 1)
            hit = new_ids[by_id][found] == act_ids
            post_line[hit] = new_at[by_id][found][hit]
        if np.any((post_line >= 0) & (keys[np.maximum(post_line, 0)] != keys[act_at])):
            return None
        home = np.fromiter(map(posted.get, act_ids.tolist(), repeat(-1)), dtype=np.int64, count=len(act_ids))
        if np.any((home >= 0) & (home != keys[act_at])):
            return None
        to_stand_in = act_at[((post_line < 0) | (post_line > act_at)) & (home < 0)]
        changing = np.flatnonzero(is_new | acting)
        found_volumes = self._volumes(m, keys, changing, into_view, shown, ranges)
        if found_volumes is None:
            return None
        volume_before, resets, finals = found_volumes
        if np.any(volume_before[act_at] < m.size[act_at]):
            return None
        self._set_volumes(*finals)
        return self._stand_ins(m, keys, new_at, act_at, to_stand_in, volume_before, resets)

    def _volumes(self, m: Messages, keys: np.ndarray, at: np.ndarray, into_view: np.ndarray,
                 shown: tuple[np.ndarray, ...], ranges: tuple[np.ndarray, ...]):
        """Per message, its level's volume before it; the reconciliations that change a level,
        as (order, key, volume before, wanted) in order; and the levels' volumes at the end of
        the block.  None where a volume would go below zero."""
        delta = np.where(m.type[at] == NEW, m.size[at], -m.size[at])
        # every level that may hold volume: those before the block, the messages', the rows'
        held = [p * 2 + side for side in (bk.BUY, bk.SELL) for p in self.prices[side]]
        universe = np.unique(np.concatenate([np.array(held, dtype=np.int64), keys[at], shown[1]]))
        reset_row, reset_key, wanted = _resets(universe, into_view, shown, ranges)
        # the timeline of each level: the messages' changes and the resets, in order
        op_key = np.concatenate([keys[at], reset_key])
        op_order = np.concatenate([3 * at + 1, 3 * reset_row + 2])
        op_delta = np.concatenate([delta, np.zeros(len(reset_key), dtype=np.int64)])
        op_reset = np.concatenate([np.zeros(len(at), bool), np.ones(len(reset_key), bool)])
        op_wanted = np.concatenate([np.zeros(len(at), dtype=np.int64), wanted])
        order = np.lexsort((op_order, op_key))
        op_order = op_order[order]
        op_key, op_delta, op_reset, op_wanted = op_key[order], op_delta[order], op_reset[order], op_wanted[order]
        if not len(order):
            return np.zeros(len(m), dtype=np.int64), [], (np.empty(0, np.int64), np.empty(0, np.int64))
        position = np.arange(len(order))
        first_of_level = np.ones(len(order), bool)
        first_of_level[1:] = op_key[1:] != op_key[:-1]
        level_start = np.maximum.accumulate(np.where(first_of_level, position, 0))
        level_keys = op_key[first_of_level]
        volume = self.volume
        base = np.array([volume.get(k, 0) for k in level_keys.tolist()], dtype=np.int64)
        if np.any(base < 0):
            return None
        base = base[np.cumsum(first_of_level) - 1]
        total = np.cumsum(op_delta)
        last_reset = np.maximum.accumulate(np.where(op_reset, position, -1))
        since_reset = last_reset >= level_start
        r = np.maximum(last_reset, 0)
        after = np.where(since_reset, op_wanted[r] + total - total[r],
                         base + total - total[level_start] + op_delta[level_start])
        if np.any(after < 0):
            return None
        before = after - op_delta
        before[op_reset] = np.where(first_of_level, base, np.roll(after, 1))[op_reset]
        volume_before = np.zeros(len(m), dtype=np.int64)
        is_message = ~op_reset
        volume_before[(op_order[is_message] - 1) // 3] = before[is_message]
        changed = op_reset & (before != op_wanted)
        resets = list(zip(op_order[changed].tolist(), op_key[changed].tolist(),
                          before[changed].tolist(), op_wanted[changed].tolist()))
        resets.sort()
        last_of_level = np.append(first_of_level[1:], True)
        return volume_before, resets, (op_key[last_of_level], after[last_of_level])

    def _set_volumes(self, level_keys: np.ndarray, volumes: np.ndarray) -> None:
        """The levels' volumes at the end of a block walked in array passes."""
        volume, prices = self.volume, self.prices
        for key, after in zip(level_keys.tolist(), volumes.tolist()):
            before = volume.get(key, 0)
            if after:
                volume[key] = after
                if not before:
                    insort(prices[key & 1], key >> 1)
            else:
                volume.pop(key, None)
                if before:
                    side_prices = prices[key & 1]
                    del side_prices[bisect_left(side_prices, key >> 1)]

    def _stand_ins(self, m: Messages, keys: np.ndarray, new_at: np.ndarray, act_at: np.ndarray,
                   to_stand_in: np.ndarray, volume_before: np.ndarray, resets: list) -> dict[int, int]:
        """The stand-ins' bookkeeping of a block, in order: messages sent to a stand-in
        (and the folds before them), reconciliations that change a level (and their folds)."""
        queue: list[tuple[int, int, int, int]] = [
            (3 * j + 1, key, -1, 0) for j, key in zip(to_stand_in.tolist(), keys[to_stand_in].tolist())]
        queue += resets
        heapq.heapify(queue)
        # the block's posts by level, in line order (for folds, and for ids_at after the walk)
        by_level = np.argsort(keys[new_at], kind="stable")
        new_keys, new_lines = keys[new_at][by_level].tolist(), new_at[by_level].tolist()
        new_ids = m.order_id[new_at][by_level].tolist()
        last_fold: dict[int, int] = {}  # level -> last line whose posts a fold in the block took
        folded: list[int] = []
        posted, ids_at, stand_in, out = self.posted, self.ids_at, self.stand_in, self.out
        sent_to: dict[int, int] = {}
        no_ref = bk.NO_REF
        by_order: list = []  # the block's messages about orders by id, built at the first fold

        def messages_by_order() -> list:
            if not by_order:
                order = np.argsort(m.order_id[act_at], kind="stable")
                ids, lines = m.order_id[act_at][order].tolist(), act_at[order].tolist()
                by_order.extend((ids, lines, dict(zip(ids, lines))))  # the last: each order's last message
            return by_order

        def leave(order_id: int, bound: int) -> None:
            """The messages after ``bound`` about a folded order go to stand-ins."""
            act_ids, act_lines, _ = by_order
            low, high = bisect_left(act_ids, order_id), bisect_left(act_ids, order_id + 1)
            for line in act_lines[bisect_left(act_lines, bound + 1, low, high):high]:
                heapq.heappush(queue, (3 * line + 1, int(keys[line]), -1, 0))

        def fold(key: int, volume: int, bound: int) -> None:
            self.folds += 1
            last_act = messages_by_order()[2]
            kind, side, price, place = bk.CANCEL, key & 1, key >> 1, self.place
            for order_id in ids_at.pop(key, ()):
                if posted.get(order_id) == key:
                    out.append((kind, side, price, 0.0, order_id, no_ref, place))
                    del posted[order_id]
                    if last_act.get(order_id, -1) > bound:  # most folded orders have left already
                        leave(order_id, bound)
            low, high = bisect_left(new_keys, key), bisect_left(new_keys, key + 1)
            start = bisect_left(new_lines, last_fold.get(key, -1) + 1, low, high)
            for order_id in new_ids[start:bisect_left(new_lines, bound + 1, start, high)]:
                out.append((kind, side, price, 0.0, order_id, no_ref, place))
                folded.append(order_id)
                if last_act.get(order_id, -1) > bound:
                    leave(order_id, bound)
            last_fold[key] = bound
            held = stand_in[key][1] if key in stand_in else 0
            if volume > held:
                self._grow(key, volume - held, track=False)

        while queue:
            order, key, volume, wanted = heapq.heappop(queue)
            j = order // 3
            if volume < 0:  # a message sent to the stand-in of its level
                size = int(m.size[j])
                found = stand_in.get(key)
                if found is None or found[1] < size:
                    self.place = 3 * j
                    fold(key, int(volume_before[j]), j - 1)
                    found = stand_in[key]
                if found[1] > size:
                    stand_in[key] = (found[0], found[1] - size)
                else:
                    del stand_in[key]
                sent_to[j] = found[0]
                continue
            self.place = order
            self.reconciled += 1
            change = wanted - volume
            if change > 0:
                self._grow(key, change, track=False)
                continue
            held = stand_in[key][1] if key in stand_in else 0
            if held < -change:
                fold(key, volume, j)
            self._shrink(key, -change, track=False)
        self._keep_posts(new_keys, new_lines, new_ids, last_fold, folded)
        return sent_to

    def _keep_posts(self, new_keys: list[int], new_lines: list[int], new_ids: list[int], last_fold: dict[int, int],
                    folded: list[int]) -> None:
        """The block's posts (by level, in line order) that no fold took, into ``posted`` and ``ids_at``."""
        posted, ids_at = self.posted, self.ids_at
        posted.update(zip(new_ids, new_keys))
        for order_id in folded:
            del posted[order_id]
        start = 0
        while start < len(new_keys):
            key = new_keys[start]
            stop = bisect_left(new_keys, key + 1, start)
            bound = last_fold.get(key)
            if bound is None:
                ids_at.setdefault(key, []).extend(new_ids[start:stop])
            else:
                kept = new_ids[bisect_left(new_lines, bound + 1, start, stop):stop]
                if kept:
                    ids_at[key] = kept
            start = stop

    def _to_stand_in(self, j: int, key: int, size: int) -> int:
        """The stand-in that a message about an order the file did not post
        acts on (folding its level first if it holds too little)."""
        stand_in = self.stand_in.get(key)
        if stand_in is None or stand_in[1] < size:
            if self.volume.get(key, 0) < size:
                return bk.NO_REF
            self.place = 3 * j
            self._fold(key)
            stand_in = self.stand_in[key]
        if stand_in[1] > size:
            self.stand_in[key] = (stand_in[0], stand_in[1] - size)
        else:
            del self.stand_in[key]
        self._level_changed(key, -size)
        return stand_in[0]

    def _into_view(self, shown: Iterable[tuple[int, int, int]], bid_edge: int, previous_bid: int, ask_edge: int,
                   previous_ask: int) -> None:
        """Reconciles every level between the old and the new edge of each side."""
        wanted: dict[int, int] = {price * 2 + side: size for side, price, size in shown}
        for side, low, high in ((bk.BUY, bid_edge, previous_bid), (bk.SELL, previous_ask + 1, ask_edge + 1)):
            if low < high:
                prices = self.prices[side]
                for price in prices[bisect_left(prices, low):bisect_left(prices, high)]:
                    wanted.setdefault(price * 2 + side, 0)
        for key in sorted(wanted):
            self._reconcile(key, wanted[key])

    def _assemble(self, m: Messages, sent_to: dict[int, int]) -> Translation:
        """The block's events in order: the messages' own, and the model's
        placed before or after them."""
        count = len(m)
        applied = (m.type >= NEW) & (m.type <= EXECUTE)
        if sent_to:
            rows = np.fromiter(sent_to.keys(), dtype=np.int64, count=len(sent_to))
            refs = np.fromiter(sent_to.values(), dtype=np.uint64, count=len(sent_to))
            applied[rows[refs == bk.NO_REF]] = False
        line = np.flatnonzero(applied)
        own = bk.make_events(_MODEL_VERB[m.type[line]],
                             (m.direction[line] < 0).view(np.uint8), m.price[line],
                             m.size[line].astype(np.float64), m.order_id[line].view(np.uint64))
        if sent_to:
            moved = refs != bk.NO_REF
            at = np.searchsorted(line, rows[moved])
            own["ref"][at] = refs[moved]
            own["kind"][at] = np.where(m.type[rows[moved]] == EXECUTE, bk.EXECUTE, bk.REDUCE)
        model, place = self._model_events()
        order = np.argsort(np.concatenate([3 * line + 1, place]), kind="stable")
        events = np.concatenate([own, model])[order]
        line_of = np.concatenate([line, place // 3])[order]
        events["timestamp"] = m.time[line_of].view(np.uint64)
        from_feed = np.concatenate([np.ones(len(own), bool), np.zeros(len(model), bool)])[order]
        last_event = np.searchsorted(line_of, np.arange(count), side="right") - 1
        counts = (len(sent_to) - int(np.count_nonzero(refs != bk.NO_REF)) if sent_to else 0, self.folds,
                  self.reconciled)
        self.folds = self.reconciled = 0
        return Translation(events, line_of, last_event, from_feed, *counts)


# Comparing with the rows -----------------------------------------------------------

@dataclass(frozen=True)
class Divergence:
    """The first level where the book and an orderbook row disagree."""

    row: int  # within the rows compared
    side: str  # "bid" or "ask"
    level: int  # from 1
    expected: tuple[int, int]  # (price, size) in the row
    got: tuple[int, float]  # (price, size) in the book

    def describe(self, line: int) -> str:
        (ep, es), (gp, gs) = self.expected, self.got
        return (f"line {line}: {self.side} level {self.level}: expected size {es} at {ep}, "
                f"book has {gs:g} at {gp}")


def first_divergence(rows: np.ndarray, bids: np.ndarray, asks: np.ndarray) -> Divergence | None:
    """The first row that differs from the book's levels beside it (``bids``
    and ``asks``: one snapshot per row, at least N levels deep), bids before
    asks and better levels before worse ones within a row.  A missing level is
    size 0 on both sides, whatever its price."""
    levels = rows.shape[1] // 4
    e = rows.reshape(len(rows), levels, 4)
    b, a = bids[:, :levels], asks[:, :levels]
    bad = e[:, :, 1] != a["quantity"]
    bad |= (e[:, :, 0] != a["price_in_ticks"]) & (e[:, :, 1] != 0)
    bad |= e[:, :, 3] != b["quantity"]
    bad |= (e[:, :, 2] != b["price_in_ticks"]) & (e[:, :, 3] != 0)
    differs = bad.any(axis=1)
    if not differs.any():
        return None
    row = int(np.argmax(differs))
    for side, k, got, pad in (("bid", 2, b[row], BID_PAD), ("ask", 0, a[row], ASK_PAD)):
        for level in range(levels):
            price, size = int(rows[row, 4 * level + k]), int(rows[row, 4 * level + k + 1])
            got_size = float(got["quantity"][level])
            got_price = int(got["price_in_ticks"][level]) if got_size > 0 else pad
            if size != got_size or (size and price != got_price):
                return Divergence(row, side, level + 1, (price, size), (got_price, got_size))
    raise AssertionError("rows that differ have a differing level")
