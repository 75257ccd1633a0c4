"""Seeded market-by-order flows written as LOBSTER files and ITCH 5.0 files.

The flows are kept on the pure-Python :class:`~varnholt_replay.testing.reference.ReferenceBook`
(no varnholt involved), so the LOBSTER orderbook rows written beside the
messages are an independent account of the book after every message.  A
flow starts with a book already full of orders that the files never show
being added (as a LOBSTER file of a window of the day has them), and mixes
new orders near the touch and further out, deletions, partial
cancellations, executions that take the front orders of the best levels
(one message per order taken, the last one often partial), executions of
an order behind others at its price, hidden executions, a cross trade now
and then and a trading halt with its resumption.  A LOBSTER file of N levels
holds, as LOBSTER writes them, only the messages that changed the top N
levels at that moment: everything further out happens in the book unseen.
The ITCH flow adds replaces (a new ref at a new price, losing priority),
executions with a price, non-displayable trades, broken trades, imbalance
and system messages, over several symbols.  The same seed gives the same
files.

Run as a module to write large files on demand::

    python -m varnholt_replay.testing.generate lobster DIR --messages 10000000 --levels 10
    python -m varnholt_replay.testing.generate itch FILE.itch --messages 1000000 --symbols 4
"""

from __future__ import annotations

import argparse
import math
import random
import struct
import sys
from collections.abc import Callable, Iterable, Iterator
from contextlib import ExitStack
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .reference import BUY, SELL, ReferenceBook, Resting
from ..textwrite import format_lines

TICK = 100  # one cent in 1/10000 units
HIDDEN_EXECUTE, CROSS, HALT = 5, 6, 7
DAY_START_NS = 34_200 * 10**9  # 9:30
DAY_NS = 23_400 * 10**9  # 9:30 to 16:00
CHUNK = 1 << 15
LOTS = (100, 100, 100, 200, 300, 500, 1000)


def _geometric(rng: random.Random, mean: float) -> int:
    """0, 1, 2, ... with the given mean."""
    p = 1.0 / (1.0 + mean)
    return int(math.log(1.0 - rng.random()) / math.log(1.0 - p))


class Market:
    """One instrument's book and the moves that keep a realistic flow on it."""

    def __init__(self, rng: random.Random, price: int, new_ref: Callable[[], int], resting: int = 400) -> None:
        self.rng = rng
        self.book = ReferenceBook()
        self.new_ref = new_ref
        self.resting = resting
        self.live: list[int] = []
        self.slot: dict[int, int] = {}
        self.opening_price = price
        self.halted = False

    # bookkeeping ---------------------------------------------------------
    def _rest(self, ref: int, side: int, price: int, quantity: int) -> None:
        self.book.add(ref, side, price, quantity)
        self.slot[ref] = len(self.live)
        self.live.append(ref)

    def _forget(self, ref: int) -> None:
        at = self.slot.pop(ref)
        last = self.live.pop()
        if last != ref:
            self.live[at] = last
            self.slot[last] = at

    def _take(self, ref: int, quantity: int) -> Resting:
        order = self.book.reduce(ref, quantity)
        if order.quantity == 0:
            self._forget(ref)
        return order

    # moves -----------------------------------------------------------------
    def prefill(self, levels: int) -> None:
        """Orders resting before the flow starts, ``levels`` deep a side."""
        for side in (BUY, SELL):
            for k in range(levels):
                price = self.opening_price + (-(k + 1) if side == BUY else k + 1) * TICK
                for _ in range(1 + self.rng.randrange(4)):
                    self._rest(self.new_ref(), side, price, self.size())

    def size(self) -> int:
        return self.rng.choice(LOTS) if self.rng.random() < 0.7 else self.rng.randint(1, 400)

    def thin_side(self) -> int | None:
        """A side with too few levels to trade against safely, if any."""
        for side in (BUY, SELL):
            if self.book.level_count(side) < 4:
                return side
        return None

    def quote(self, side: int) -> int:
        """A price for a new order on ``side`` that does not cross the book."""
        book, rng = self.book, self.rng
        own, other = book.best(side), book.best(1 - side)
        sign = 1 if side == BUY else -1
        if own is None:
            own = (other - sign * TICK) if other is not None else self.opening_price - sign * TICK
        price = own + sign * TICK if rng.random() < 0.12 else own - sign * _geometric(rng, 2.0) * TICK
        if other is not None:
            price = min(price, other - TICK) if side == BUY else max(price, other + TICK)
        return max(price, TICK)

    def add(self, side: int | None = None) -> Resting:
        side = self.rng.randrange(2) if side is None else side
        ref = self.new_ref()
        self._rest(ref, side, self.quote(side), self.size())
        return self.book.orders[ref]

    def pick(self) -> Resting:
        return self.book.orders[self.live[self.rng.randrange(len(self.live))]]

    def delete(self) -> Resting:
        order = self.pick()
        self.book.remove(order.ref)
        self._forget(order.ref)
        return order

    def partial_cancel(self) -> tuple[Resting, int] | None:
        order = self.pick()
        if order.quantity < 2:
            return None
        quantity = self.rng.randint(1, order.quantity - 1)
        self._take(order.ref, quantity)
        return order, quantity

    def sweep(self) -> Iterator[tuple[Resting, int]]:
        """Executions of the front orders of one side's best levels, as
        (order, quantity taken), each applied as it is yielded."""
        side = self.rng.randrange(2)
        for _ in range(1 + _geometric(self.rng, 0.8)):
            if self.book.level_count(side) < 4:
                return
            order = self.book.front(side)
            assert order is not None  # the side has levels
            whole = self.rng.random() < 0.75 or order.quantity == 1
            quantity = order.quantity if whole else self.rng.randint(1, order.quantity - 1)
            taken = Resting(order.ref, order.side, order.price, order.quantity)
            self._take(order.ref, quantity)
            yield taken, quantity
            if not whole:
                return

    def execute_behind(self) -> tuple[Resting, int] | None:
        """An execution of an order that is not the front of its level (real
        feeds have them: the second of two orders at a price trades first)."""
        side = self.rng.randrange(2)
        price = self.book.best(side)
        level = list(self.book.levels[side].get(price, {}).values()) if price is not None else []
        if len(level) < 2 or self.book.level_count(side) < 4:
            return None
        order = level[1 + self.rng.randrange(len(level) - 1)]
        quantity = order.quantity if self.rng.random() < 0.6 else self.rng.randint(1, order.quantity)
        taken = Resting(order.ref, order.side, order.price, order.quantity)
        self._take(order.ref, quantity)
        return taken, quantity

    def replace(self) -> tuple[Resting, Resting]:
        """An order leaves and a new one (new ref, same side) enters at the back."""
        old = self.pick()
        self.book.remove(old.ref)
        self._forget(old.ref)
        ref = self.new_ref()
        self._rest(ref, old.side, self.quote(old.side), self.size())
        return old, self.book.orders[ref]

    def adds_now(self, share: float) -> bool:
        """Whether the next order entry or deletion is an entry: ``share``
        of them, more while the book is below its usual size, fewer above."""
        below = (self.resting - len(self.live)) / self.resting
        return self.rng.random() < share + 0.3 * max(-1.0, min(1.0, below))


# LOBSTER -------------------------------------------------------------------

@dataclass
class LobsterFiles:
    """Where a LOBSTER flow was written."""

    messages: Path
    orderbook: Path | None
    levels: int
    count: int
    unseen: int = 0  # messages of the flow left out: they changed nothing within the top N levels


class LobsterFlow:
    """The message rows (and orderbook rows) of one instrument's flow."""

    def __init__(self, seed: int, levels: int = 10, resting: int = 400, expected_messages: int = 100_000) -> None:
        self.rng = random.Random(seed)
        self.levels = levels
        refs = iter(range(10_000_000 + self.rng.randrange(1_000_000), 2**62))
        self.market = Market(self.rng, 5_850_000, refs.__next__, resting)
        self.market.prefill(max(levels + 5, 15))
        self.clock = DAY_START_NS
        self.gap = max(DAY_NS // max(expected_messages, 1), 1)
        self.sent = 0
        halt = expected_messages * 2 // 5
        self.halts = [(halt, -1), (halt + 50, 1)]  # (message number, 7's price: -1 halt, 1 resume)

    def _tick(self) -> int:
        self.clock += 1 + int(self.rng.expovariate(1.0 / self.gap))
        return self.clock

    def messages(self) -> Iterator[tuple[int, int, int, int, int, int]]:
        """(time ns, type, order id, size, price, direction) rows, forever."""
        m, rng = self.market, self.rng
        while True:
            if self.halts and self.sent >= self.halts[0][0]:
                state = self.halts.pop(0)[1]
                m.halted = state < 0
                yield from self._emit([(7, 0, 0, state, -1)])
                continue
            thin = m.thin_side()
            r = rng.random()
            rows: Iterable[tuple[int, int, int, int, int]]
            if thin is not None or (r < 0.76 and m.adds_now(0.55)):
                o = m.add(thin)
                rows = [(1, o.ref, o.quantity, o.price, o.side)]
            elif r < 0.76:
                o = m.delete()
                rows = [(3, o.ref, o.quantity, o.price, o.side)]
            elif r < 0.82:
                cut = m.partial_cancel()
                rows = [(2, cut[0].ref, cut[1], cut[0].price, cut[0].side)] if cut else []
            elif r < 0.92 and not m.halted:
                rows = ((4, o.ref, q, o.price, o.side) for o, q in m.sweep())
            elif r < 0.93 and not m.halted:
                behind = m.execute_behind()
                rows = [(4, behind[0].ref, behind[1], behind[0].price, behind[0].side)] if behind else []
            elif r < 0.995 and not m.halted:
                side = rng.randrange(2)
                best = m.book.best(side)
                rows = [(5, 0, rng.randint(1, 300), best, side)] if best else []
            elif not m.halted:
                best = m.book.best(BUY)
                rows = [(6, 0, rng.randint(100, 5000), best, BUY)] if best else []
            else:
                rows = []
            yield from self._emit(rows)

    def _emit(self, rows: Iterable[tuple[int, int, int, int, int]]) -> Iterator[tuple[int, int, int, int, int, int]]:
        for kind, ref, size, price, side in rows:
            self.sent += 1
            yield self._tick(), kind, ref, size, price, (1 if side == BUY else -1) if kind != 7 else -1

    def row(self) -> list[int]:
        """The book's top levels as an orderbook row."""
        book, n = self.market.book, self.levels
        asks = book.top(SELL, n) + [(9_999_999_999, 0, 0)] * n
        bids = book.top(BUY, n) + [(-9_999_999_999, 0, 0)] * n
        row: list[int] = []
        for k in range(n):
            row += (asks[k][0], asks[k][1], bids[k][0], bids[k][1])
        return row


def lobster_names(ticker: str, levels: int, date: str = "2012-06-21") -> tuple[str, str]:
    """The usual file names of a message file and its orderbook file."""
    stem = f"{ticker}_{date}_34200000_57600000"
    return f"{stem}_message_{levels}.csv", f"{stem}_orderbook_{levels}.csv"


def write_lobster(directory: str | Path, messages: int, *, ticker: str = "TEST", levels: int = 10,
                  seed: int = 1, orderbook: bool = True, resting: int = 400) -> LobsterFiles:
    """Writes a message file (and its orderbook file) of ``messages`` rows."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    message_name, book_name = lobster_names(ticker, levels)
    flow = LobsterFlow(seed, levels, resting, messages)
    source = flow.messages()
    book_path = directory / book_name if orderbook else None
    with ExitStack() as files:
        out = files.enter_context(open(directory / message_name, "wb"))
        book_out = files.enter_context(open(book_path, "wb")) if book_path else None
        left = messages
        shown = flow.row()
        unseen = 0
        while left:
            rows: list[tuple[int, int, int, int, int, int]] = []
            book_rows: list[list[int]] = []
            while len(rows) < min(left, CHUNK):
                message = next(source)
                row = flow.row()
                # As LOBSTER writes a level-N file: only the messages that changed the
                # top N levels (and the trades and halts, which change none).
                if row != shown or message[1] in (HIDDEN_EXECUTE, CROSS, HALT):
                    rows.append(message)
                    book_rows.append(row)
                else:
                    unseen += 1
                shown = row
            out.write(_message_text(np.array(rows, dtype=np.int64)))
            if book_out:
                columns = list(np.array(book_rows, dtype=np.int64).T)
                book_out.write(format_lines(columns, b"," * (4 * levels - 1) + b"\n"))
            left -= len(rows)
    return LobsterFiles(directory / message_name, book_path, levels, messages, unseen)


def _message_text(rows: np.ndarray) -> bytes:
    time_ns = rows[:, 0]
    fields = [time_ns // 10**9, time_ns % 10**9] + [rows[:, k] for k in range(1, 6)]
    return format_lines(fields, b".,,,,,\n", zero_padded=[(1, 9)])


# ITCH 5.0 --------------------------------------------------------------------

_HEADER = ">cHHHI"  # type, stock locate, tracking number, timestamp (6 bytes as 2 + 4)
_FORMATS = {
    b"S": _HEADER + "c",
    b"R": _HEADER + "8sccIcc2scccccIc",
    b"H": _HEADER + "8scc4s",
    b"Y": _HEADER + "8sc",
    b"A": _HEADER + "QcI8sI",
    b"F": _HEADER + "QcI8sI4s",
    b"E": _HEADER + "QIQ",
    b"C": _HEADER + "QIQcI",
    b"X": _HEADER + "QI",
    b"D": _HEADER + "Q",
    b"U": _HEADER + "QQII",
    b"P": _HEADER + "QcI8sIQ",
    b"Q": _HEADER + "Q8sIQc",
    b"B": _HEADER + "Q",
    b"I": _HEADER + "QQc8sIIIcc",
    b"N": _HEADER + "8sc",
}
_STRUCTS = {kind: struct.Struct(fmt) for kind, fmt in _FORMATS.items()}
SYMBOLS = ("ALPHA", "BRAVO", "CHARLIE", "DELTA", "ECHO", "FOXTROT", "GOLF", "HOTEL")


def pack(kind: bytes, locate: int, timestamp: int, *fields: object) -> bytes:
    """One ITCH message with its 2-byte length in front."""
    body = _STRUCTS[kind].pack(kind, locate, 0, timestamp >> 32, timestamp & 0xFFFFFFFF, *fields)
    return struct.pack(">H", len(body)) + body


@dataclass
class SymbolTruth:
    """What replaying one symbol of a generated ITCH file must give."""

    symbol: str
    locate: int
    executions: int = 0
    volume: int = 0
    notional: int = 0  # sum of shares x price in ticks, at the resting orders' prices
    bids: list[tuple[int, int, int]] = field(default_factory=list)
    asks: list[tuple[int, int, int]] = field(default_factory=list)
    orders: int = 0  # resting at the end


class ItchFlow:
    """An ITCH 5.0 session over several symbols, kept on reference books."""

    def __init__(self, seed: int, symbols: int = 3, resting: int = 300) -> None:
        self.rng = random.Random(seed)
        self.clock = 4 * 3600 * 10**9
        self._refs = iter(range(self.rng.randrange(1, 1000), 2**63))
        self.markets: dict[int, Market] = {}
        self.names: dict[int, str] = {}
        self.truth: dict[int, SymbolTruth] = {}
        for k in range(symbols):
            locate = 1 + 3 * k
            name = SYMBOLS[k % len(SYMBOLS)] + (str(k // len(SYMBOLS)) if k >= len(SYMBOLS) else "")
            self.names[locate] = name
            self.markets[locate] = Market(self.rng, 1_000_000 + 250_000 * k, self._ref, resting)
            self.truth[locate] = SymbolTruth(name, locate)
        self.matches = iter(range(1, 2**62))

    def _ref(self) -> int:
        return next(self._refs)

    def _tick(self) -> int:
        self.clock += 1 + int(self.rng.expovariate(1 / 20_000))
        return self.clock

    def session(self, count: int) -> Iterator[bytes]:
        """``count`` order messages framed by the system and directory ones."""
        yield pack(b"S", 0, self._tick(), b"O")
        for locate, name in self.names.items():
            yield pack(b"R", locate, self._tick(), name.encode().ljust(8), b"Q", b"N", 100, b"N", b"C",
                       b"  ", b"P", b"N", b"N", b"1", b"N", 0, b"N")
            yield pack(b"H", locate, self._tick(), name.encode().ljust(8), b"T", b" ", b"    ")
        yield pack(b"S", 0, self._tick(), b"S")
        yield from self._opening_book()
        yield pack(b"S", 0, self._tick(), b"Q")
        halt = (next(iter(self.markets)), count // 3, count // 3 + 40)
        for n in range(count):
            locate = self.rng.choice(list(self.markets))
            if n in halt[1:]:
                yield self._halt(halt[0], n == halt[1])
            yield from self._step(locate)
        yield pack(b"S", 0, self._tick(), b"M")
        yield pack(b"S", 0, self._tick(), b"E")
        yield pack(b"S", 0, self._tick(), b"C")
        self._close_truth()

    def _opening_book(self) -> Iterator[bytes]:
        for locate, m in self.markets.items():
            m.prefill(12)
            for order in list(m.book.orders.values()):
                yield self._add(locate, order)

    def _halt(self, locate: int, halted: bool) -> bytes:
        self.markets[locate].halted = halted
        return pack(b"H", locate, self._tick(), self.names[locate].encode().ljust(8), b"H" if halted else b"T",
                    b" ", b"    ")

    def _add(self, locate: int, order: Resting) -> bytes:
        side = b"B" if order.side == BUY else b"S"
        stock = self.names[locate].encode().ljust(8)
        if self.rng.random() < 0.2:
            return pack(b"F", locate, self._tick(), order.ref, side, order.quantity, stock, order.price, b"NSDQ")
        return pack(b"A", locate, self._tick(), order.ref, side, order.quantity, stock, order.price)

    def _step(self, locate: int) -> Iterator[bytes]:
        m, rng, truth = self.markets[locate], self.rng, self.truth[locate]
        thin = m.thin_side()
        r = rng.random()
        if thin is not None or (r < 0.66 and m.adds_now(0.6)):
            yield self._add(locate, m.add(thin))
        elif r < 0.66:
            yield pack(b"D", locate, self._tick(), m.delete().ref)
        elif r < 0.71:
            cut = m.partial_cancel()
            if cut:
                yield pack(b"X", locate, self._tick(), cut[0].ref, cut[1])
        elif r < 0.79:
            old, new = m.replace()
            yield pack(b"U", locate, self._tick(), old.ref, new.ref, new.quantity, new.price)
        elif r < 0.90 and not m.halted:
            for order, quantity in m.sweep():
                truth.executions += 1
                truth.volume += quantity
                truth.notional += quantity * order.price
                if rng.random() < 0.2:
                    price = order.price + rng.choice((-1, 0, 1)) * TICK
                    yield pack(b"C", locate, self._tick(), order.ref, quantity, next(self.matches), b"Y", price)
                else:
                    yield pack(b"E", locate, self._tick(), order.ref, quantity, next(self.matches))
        elif r < 0.96:
            stock = self.names[locate].encode().ljust(8)
            best = m.book.best(BUY) or TICK
            yield pack(b"P", locate, self._tick(), 0, b"B", rng.randint(1, 500), stock, best, next(self.matches))
        elif r < 0.97:
            yield pack(b"B", locate, self._tick(), rng.randint(1, 1000))
        elif r < 0.98:
            stock = self.names[locate].encode().ljust(8)
            best = m.book.best(BUY) or TICK
            yield pack(b"Q", locate, self._tick(), rng.randint(100, 9000), stock, best, next(self.matches), b"O")
        elif r < 0.99:
            stock = self.names[locate].encode().ljust(8)
            yield pack(b"I", locate, self._tick(), 1000, 200, b"B", stock, 0, 0, m.opening_price, b"C", b" ")
        else:
            yield pack(b"N", locate, self._tick(), self.names[locate].encode().ljust(8), b"N")

    def _close_truth(self) -> None:
        for locate, m in self.markets.items():
            t = self.truth[locate]
            t.bids = m.book.top(BUY, 10)
            t.asks = m.book.top(SELL, 10)
            t.orders = len(m.book)


def write_itch(path: str | Path, messages: int, *, symbols: int = 3, seed: int = 1,
               resting: int = 300) -> dict[str, SymbolTruth]:
    """Writes an ITCH 5.0 file with about ``messages`` order messages; returns
    what replaying each symbol must give."""
    flow = ItchFlow(seed, symbols, resting)
    with open(path, "wb") as out:
        chunk: list[bytes] = []
        for message in flow.session(messages):
            chunk.append(message)
            if len(chunk) >= CHUNK:
                out.write(b"".join(chunk))
                chunk.clear()
        out.write(b"".join(chunk))
    return {t.symbol: t for t in flow.truth.values()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m varnholt_replay.testing.generate", description=__doc__.split("\n\n")[0])
    kinds = parser.add_subparsers(dest="format", required=True)
    lob = kinds.add_parser("lobster", help="a LOBSTER message file and its orderbook file")
    lob.add_argument("directory", type=Path, help="folder for the two files (made if missing)")
    lob.add_argument("--messages", type=int, default=100_000, help="messages to write (default 100000)")
    lob.add_argument("--levels", type=int, default=10, help="levels a side in the orderbook file (default 10)")
    lob.add_argument("--ticker", default="TEST", help="ticker in the file names (default TEST)")
    lob.add_argument("--no-orderbook", action="store_true", help="write the message file alone")
    lob.add_argument("--resting", type=int, default=400, help="orders the book holds on average (default 400)")
    itch = kinds.add_parser("itch", help="an ITCH 5.0 file over several symbols")
    itch.add_argument("path", type=Path, help="the file to write")
    itch.add_argument("--messages", type=int, default=100_000, help="messages to write (default 100000)")
    itch.add_argument("--symbols", type=int, default=3, help="symbols in the file (default 3)")
    for sub in (lob, itch):
        sub.add_argument("--seed", type=int, default=1, help="the same seed writes the same bytes (default 1)")
    args = parser.parse_args(argv)
    for name in ("messages", "levels", "symbols", "resting"):
        if getattr(args, name, 1) < 1:
            parser.error(f"--{name} must be at least 1")
    if args.format == "lobster":
        files = write_lobster(args.directory, args.messages, ticker=args.ticker, levels=args.levels,
                              seed=args.seed, orderbook=not args.no_orderbook, resting=args.resting)
        print(files.messages)
        if files.orderbook:
            print(files.orderbook)
    else:
        write_itch(args.path, args.messages, symbols=args.symbols, seed=args.seed)
        print(args.path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
