"""LOBSTER message and orderbook files, turned into replay events.

A message file is CSV without a header, one event per line::

    time,type,order id,size,price,direction

``time`` is seconds after midnight with a decimal point, ``price`` is the
price times 10000 (so it is used as ``price_in_ticks`` on a book with tick
size 0.0001), ``direction`` is 1 for a buy order and -1 for a sell order.
The types and the events they become:

1. new limit order: an add of ``size`` (the LOBSTER order id is the ref);
2. partial cancellation of ``size``: an amend of the order to its open
   quantity less ``size`` at its price (lower quantity, same price: it keeps
   its place in the queue); a cancel if nothing would be left;
3. deletion: a cancel;
4. execution of a visible order: an immediate-or-cancel order of ``size`` on
   the other side at the order's price, with ref ``EXECUTION_REF``.  The book
   must fill it from the named order alone (that order is at the front of its
   level, by price-time priority); anything else is reported as a priority
   violation with its line;
5. hidden execution, 6. cross trade, 7. trading halt: no change to the
   visible book; counted.

The open quantity an amend needs is tracked without a loop per message: a
block's messages are grouped by order with one stable sort, a running sum of
their size changes gives each order's open quantity after each message, and
the open quantities of the live orders are carried to the next block in
sorted arrays.

**Orders from before the file.**  The file starts in the middle of a trading
day: the orders resting at its start never appear as new orders, only as the
levels of the first orderbook row and later as deletions, partial
cancellations or executions of ids that the file never added.  The book is
seeded with one stand-in order per level of that first row (refs from
``STAND_IN_BASE`` up), after taking message 1's own change back out of the
row (the row is the book *after* message 1): the size message 1 adds is taken
off its level, the size it removes is put back, so the book before message 1
is right and message 1 replays like any other.  A message about an id the
file has not added is applied to the stand-in of its level (same side and
price): a partial cancellation or a deletion lowers the stand-in by its size
in place (the other old orders stay ahead of the file's own), an execution
must trade with the stand-in, which is at the front of its level since every
old order is older than the file's own.

The first row shows only N levels a side; old orders may rest further out.
While verifying, a row that shows a level beyond the furthest one seen so
far (the :class:`Horizon`) brings that level into view: if it holds more
than the book has there, the difference is old orders, and a stand-in for
them is put in front of the file's own orders of the level (those leave and
enter again behind it, in their order).  A message about an unseen id at a
level without a live stand-in (out of view, or with its old orders all gone)
is counted as an orphan and not replayed; with stand-ins, an orphan
execution is a violation.  Without an orderbook file there are no
stand-ins and every message about an unseen id is an orphan; the orderbook
file seeds the book even when it is not compared (``--no-verify``), but
levels come into view only while verifying.

An orderbook file has one row per message, the book after it: for each of N
levels the ask price, ask size, bid price and bid size; missing levels are
padded with price 9999999999 (asks) or -9999999999 (bids) and size 0.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np

from . import book as bk
from .csvscan import Layout, ScanError, line_text, scan, table
from .errors import InputError
from .orders import Groups, LiveOrders, find_sorted
from .textio import DEFAULT_BLOCK_BYTES, Block, BlockReader

NEW, PARTIAL_CANCEL, DELETE, EXECUTE, HIDDEN_EXECUTE, CROSS, HALT = range(1, 8)
ASK_PAD, BID_PAD = 9_999_999_999, -9_999_999_999
# the event each message type becomes, before partial cancellations and
# stand-in deletions are told apart into amends and cancels
_EVENT_KIND = np.array([0, bk.ADD, bk.AMEND, bk.CANCEL, bk.IMMEDIATE_OR_CANCEL, 0, 0, 0], dtype=np.uint8)

# seconds . fraction , type , id , size , price , direction; a halt has price -1
MESSAGE_LAYOUT = Layout(b".,,,,,\n", frozenset({3, 5, 6}))
_SECONDS, _FRACTION, _TYPE, _ID, _SIZE, _PRICE, _DIRECTION = range(7)


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
    time: np.ndarray | None  # float64 seconds after midnight, when asked for
    end_offset: int  # file offset just past the block

    def __len__(self) -> int:
        return len(self.type)

    def part(self, start: int, stop: int) -> Messages:
        """Rows ``start`` to ``stop`` (exclusive)."""
        rows = slice(start, stop)
        return replace(self, first_line=self.first_line + start, type=self.type[rows],
                       order_id=self.order_id[rows], size=self.size[rows], price=self.price[rows],
                       direction=self.direction[rows], time=None if self.time is None else self.time[rows])


def read_messages(path: str | Path, *, block_bytes: int = DEFAULT_BLOCK_BYTES,
                  with_time: bool = False) -> Iterator[Messages]:
    """The messages of a LOBSTER message file, block by block.

    Raises :class:`InputError` naming the line of the first malformed row.
    """
    line = 1
    for block in BlockReader(path, block_bytes):
        messages = parse_messages(block, str(path), line, with_time)
        line += len(messages)
        yield messages


def parse_messages(block: Block, path: str, first_line: int, with_time: bool = False) -> Messages:
    """The messages of one block of a message file."""
    try:
        tokens = scan(block.raw, block.start, block.stop, MESSAGE_LAYOUT)
        kind = tokens.digit(_TYPE)
        messages = Messages(path, first_line, kind, tokens.integer(_ID), tokens.integer(_SIZE),
                            tokens.integer(_PRICE), tokens.digit(_DIRECTION),
                            _seconds(tokens) if with_time else None, block.end_offset)
        _check_values(messages)
    except ScanError as error:
        raise InputError(path, f"malformed message: {error.reason}", line=first_line + error.row,
                         text=line_text(block.raw, block.start, block.stop, error.row)) from None
    return messages


def _seconds(tokens) -> np.ndarray:  # type: ignore[no-untyped-def]
    fraction_digits = tokens.lengths(_FRACTION)
    scale = 10.0 ** -fraction_digits.astype(np.float64)
    return tokens.unsigned(_SECONDS) + tokens.unsigned(_FRACTION) * scale


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
        self.path = Path(path)
        self.levels = levels if levels is not None else _levels_in(self.path)
        # only bid prices are negative (the padding of missing levels)
        self.layout = Layout(b"," * (4 * self.levels - 1) + b"\n", frozenset(range(2, 4 * self.levels, 4)))
        self.line = 1
        self._blocks = iter(BlockReader(self.path, block_bytes))
        self._pending = np.empty((0, 4 * self.levels), dtype=np.int64)

    def take(self, count: int) -> np.ndarray:
        """The next ``count`` rows, shape (count, 4 x levels)."""
        parts = [self._pending]
        have = len(self._pending)
        while have < count:
            block = next(self._blocks, None)
            if block is None:
                raise InputError(self.path, f"ends after {self.line - 1 + have} rows, before the messages do")
            rows = self._parse(block, self.line + have)
            parts.append(rows)
            have += len(rows)
        rows = np.concatenate(parts) if len(parts) > 1 else parts[0]
        self._pending = rows[count:]
        self.line += count
        return rows[:count]

    def _parse(self, block: Block, first_line: int) -> np.ndarray:
        try:
            return table(block.raw, block.start, block.stop, self.layout)
        except ScanError as error:
            raise InputError(self.path, f"malformed orderbook row ({self.levels} levels): {error.reason}",
                             line=first_line + error.row,
                             text=line_text(block.raw, block.start, block.stop, error.row)) from None


def _levels_in(path: Path) -> int:
    """Levels per row of an orderbook file, from its first line."""
    try:
        with open(path, "rb") as source:
            first = source.readline()
    except OSError as error:
        raise InputError(path, error.strerror or str(error)) from None
    fields = first.count(b",") + 1
    if not first.strip() or fields % 4:
        raise InputError(path, "an orderbook row has 4 fields per level", line=1,
                         text=first[:120].decode("utf-8", "replace"))
    return fields // 4


_MESSAGE_NAME = re.compile(r"^(?P<stem>.*)_message_(?P<levels>\d+)\.csv$")


def orderbook_for(message_path: str | Path) -> tuple[Path, int] | None:
    """The orderbook file beside a message file (``X_message_N.csv`` has
    ``X_orderbook_N.csv``) and its level count, if the file is there."""
    path = Path(message_path)
    match = _MESSAGE_NAME.match(path.name)
    if not match:
        return None
    candidate = path.with_name(f"{match['stem']}_orderbook_{match['levels']}.csv")
    return (candidate, int(match["levels"])) if candidate.exists() else None


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


@dataclass
class Translation:
    """The replay events of a block of messages and what to check in their result."""

    events: np.ndarray
    rows: np.ndarray  # message row (in the block) of each event
    executions: np.ndarray  # indices of the events that stand for executions
    expected_refs: np.ndarray  # the ref each of those must trade with
    orphans: np.ndarray  # rows of messages about orders the book does not hold
    counts: np.ndarray  # messages per type, index 0 unused


class Horizon:
    """How far from the touch each side of the book is known.

    The orderbook file shows N levels a side; orders from before the file
    may rest unseen beyond the worst level it has shown so far.  When a row
    shows a level further out than that, the level has come into view: the
    book holds the file's own orders there but not the old ones.
    """

    LOW, HIGH = np.iinfo(np.int64).min, np.iinfo(np.int64).max

    def __init__(self, row: np.ndarray) -> None:
        self.levels = len(row) // 4
        self.bid, self.ask = self.HIGH, self.LOW  # nothing known yet
        self.advance(row[None, :])

    def _edges(self, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Per row: how far out each side is known after it (the Nth level,
        or everything if fewer show), and the worst price it shows."""
        n, last = self.levels, np.arange(len(rows))
        edges, worst = [], []
        for prices, sizes, unknown, nothing in ((rows[:, 2::4], rows[:, 3::4], self.LOW, self.HIGH),
                                                (rows[:, 0::4], rows[:, 1::4], self.HIGH, self.LOW)):
            shown = np.count_nonzero(sizes > 0, axis=1)
            edges.append(np.where(sizes[:, n - 1] > 0, prices[:, n - 1], unknown))
            worst.append(np.where(shown > 0, prices[last, np.maximum(shown - 1, 0)], nothing))
        return edges[0], edges[1], worst[0], worst[1]

    def first_view(self, rows: np.ndarray) -> int | None:
        """Index of the first row that shows a level beyond what was known."""
        bid_edge, ask_edge, worst_bid, worst_ask = self._edges(rows)
        bid_known = np.minimum.accumulate(np.concatenate([[self.bid], bid_edge[:-1]]))
        ask_known = np.maximum.accumulate(np.concatenate([[self.ask], ask_edge[:-1]]))
        new = (worst_bid < bid_known) | (worst_ask > ask_known)
        return int(np.argmax(new)) if new.any() else None

    def advance(self, rows: np.ndarray) -> None:
        """Takes in the rows the book has been found equal to."""
        if len(rows):
            bid_edge, ask_edge, _, _ = self._edges(rows)
            self.bid = min(self.bid, int(bid_edge.min()))
            self.ask = max(self.ask, int(ask_edge.max()))

    def beyond(self, side: int, price: int) -> bool:
        return price < self.bid if side == bk.BUY else price > self.ask


class LobsterTranslator:
    """Turns messages into events, carrying what it knows of the live orders
    (their open quantities, the stand-ins of old orders) from block to block."""

    def __init__(self) -> None:
        self.orders = LiveOrders()
        self.level_keys = np.empty(0, dtype=np.int64)  # price * 2 + side of each stand-in, sorted
        self.level_refs = np.empty(0, dtype=np.uint64)
        self.stand_ins = 0

    def reset(self) -> None:
        """Forget every order (before seeding a fresh book)."""
        self.__init__()  # type: ignore[misc]

    def seed(self, side: np.ndarray, price: np.ndarray, size: np.ndarray) -> np.ndarray:
        """Events that put one stand-in order per level into an empty book;
        the stand-ins become live orders of the translator."""
        refs = self._new_stand_ins(np.asarray(side, dtype=np.uint8), np.asarray(price, dtype=np.int64),
                                   np.asarray(size, dtype=np.int64))
        return bk.make_events(bk.ADD, side, price, np.asarray(size, dtype=np.float64), refs)

    def bring_into_view(self, side: int, price: int, missing: int) -> np.ndarray:
        """Events that put a stand-in of ``missing`` at the front of a level
        that has just come into view of the orderbook file with more than the
        book holds there: the file's own orders of the level leave, the
        stand-in enters, and they enter again behind it in their order."""
        refs, open_quantity = self.orders.level(side, price)
        stand_in = self._new_stand_ins(np.array([side], np.uint8), np.array([price]), np.array([missing]))
        count = len(refs)
        return bk.make_events(np.repeat([bk.CANCEL, bk.ADD, bk.ADD], [count, 1, count]), side, price,
                              np.concatenate([open_quantity, [missing], open_quantity]).astype(np.float64),
                              np.concatenate([refs, stand_in, refs]))

    def _new_stand_ins(self, side: np.ndarray, price: np.ndarray, size: np.ndarray) -> np.ndarray:
        refs = bk.STAND_IN_BASE + np.arange(self.stand_ins, self.stand_ins + len(side), dtype=np.uint64)
        self.stand_ins += len(side)
        keys = price * 2 + side
        keep = ~np.isin(self.level_keys, keys)  # a level's earlier stand-in is gone by now
        all_keys = np.concatenate([self.level_keys[keep], keys])
        order = np.argsort(all_keys, kind="stable")
        self.level_keys = all_keys[order]
        self.level_refs = np.concatenate([self.level_refs[keep], refs])[order]
        self.orders.insert(refs, side, price, size, arrival=-1)
        return refs

    def translate(self, m: Messages) -> Translation:
        """The events for a block of messages, in message order."""
        ops = np.flatnonzero((m.type >= NEW) & (m.type <= EXECUTE))
        kind = m.type[ops]
        key = m.order_id[ops].view(np.uint64)
        side = (m.direction[ops] < 0).view(np.uint8)
        price, size = m.price[ops], m.size[ops]
        groups = Groups.of(key)
        # An order is known if the block adds it first, or it is live: a
        # message about any other order is about an order from before the file.
        live, _ = self.orders.find(groups.keys)
        unknown = ~live & (kind[groups.heads] != NEW)
        stand_in = np.zeros(len(ops), dtype=bool)
        stand_in[groups.order] = unknown[groups.group]
        stand_in &= kind != NEW
        orphans = np.empty(0, dtype=np.intp)
        if stand_in.any():
            key = key.copy()
            key[stand_in] = self._stand_in_refs(price[stand_in] * 2 + side[stand_in])
            lost = key == bk.NO_REF
            orphans = ops[lost]
            if lost.any():
                kept = ~lost
                ops, kind, key, side, price, size, stand_in = (
                    a[kept] for a in (ops, kind, key, side, price, size, stand_in))
            groups = Groups.of(key)
        ends = (kind == DELETE) & ~stand_in
        delta = np.where(kind == NEW, size, -size)
        delta[ends] = 0
        open_after = self.orders.apply(key, delta, ends, side, price, groups, arrival=m.first_line + ops)

        lowered = (kind == PARTIAL_CANCEL) | ((kind == DELETE) & ~ends)
        amend = lowered & (open_after > 0)
        execute = kind == EXECUTE
        events = bk.empty_events(len(ops))
        events["kind"] = _EVENT_KIND[kind]
        events["kind"][amend] = bk.AMEND
        events["kind"][lowered & ~amend] = bk.CANCEL
        events["side"] = side ^ execute
        events["price_in_ticks"] = price
        events["quantity"] = np.where(amend, open_after, size)
        events["ref"] = np.where(execute, np.uint64(bk.EXECUTION_REF), key)
        executions = np.flatnonzero(execute)
        return Translation(events, ops, executions, key[executions], orphans, np.bincount(m.type, minlength=8))

    def _stand_in_refs(self, keys: np.ndarray) -> np.ndarray:
        """The live stand-in of each level key, or ``NO_REF``."""
        refs = np.full(len(keys), bk.NO_REF, dtype=np.uint64)
        found, at = find_sorted(self.level_keys, keys)
        refs[found] = self.level_refs[at[found]]
        refs[~self.orders.find(refs)[0]] = bk.NO_REF
        return refs
