"""Every public operation and every error path, repeated thousands of times, leaves
no trace: no Python blocks, no malloc'd bytes and no references are gained.

Python objects are counted with sys.getallocatedblocks(); the C++ side allocates
with malloc, which only glibc's mallinfo2() sees (bytes in use in the heap and in
mmapped chunks).  Reference counts are compared for the objects each call touches
(the book, the orders, the argument objects) and for the exception and module types.
"""
import copy
import ctypes
import gc
import math
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import varnholt
from varnholt import Fill, Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
WARMUP, ROUNDS = 200, 3000
BLOCK_SLACK = 300           # a leak of one block per call would show ROUNDS blocks; the
                            # interpreter's own caches move by a few dozen (seen on 3.10)
HEAP_SLACK = 16 * 1024      # a leaked id text alone is 48 bytes a call: 144 KiB


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (AttributeError, OSError):
    _mallinfo2 = None


def heap_in_use():
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


class HookError(Exception):
    pass


class Hook:
    """A number whose conversion runs `action` (recording how it ended) and then
    returns `value`, raises, or returns a wrong type, as `mode` says."""

    def __init__(self, value=1, mode="value", action=None):
        self.value, self.mode, self.action, self.inner = value, mode, action, None

    def _convert(self):
        if self.action is not None:
            try:
                self.inner = ("ok", self.action())
            except RuntimeError as error:
                self.inner = ("RuntimeError", str(error))
        if self.mode == "raise":
            raise HookError("from hook")
        if self.mode == "type":
            raise TypeError("hook refused") from KeyError("cause")
        if self.mode == "wrong":
            return "not a number"
        return self.value


class FloatHook(Hook):
    __float__ = Hook._convert


class IndexHook(Hook):
    __index__ = Hook._convert


class Env:
    """Objects shared by the repeated calls of one case; all of them are watched."""

    def __init__(self):
        self.book = OrderBook(0.5)
        for p in range(90, 100):
            self.book.add(Order(BUY, p, 1.0))
            self.book.add(Order(SELL, p + 11, 1.5))
        self.buy, self.buy2, self.sell = Order(BUY, 100, 2.0), Order(BUY, 99, 1.0), Order(SELL, 100, 2.0)
        self.known_id, self.unknown_id = self.book.buy_orders[3].id, "-".join(["no", "such", "id"])
        self.lone, self.big = "id\ud800".upper(), 2 ** int("64")
        self.book_hook = FloatHook(2.0, action=lambda: self.book.add(self.buy))
        self.read_hook = FloatHook(2.0, action=self.book.best_bid)
        self.order_hook = FloatHook(0.5, action=self.buy.is_open)
        self.hooks = {mode: (FloatHook(mode=mode), IndexHook(mode=mode)) for mode in ("raise", "type", "wrong")}

    def watched(self):
        return list(vars(self).values()) + [h for pair in self.hooks.values() for h in pair]

    def trade(self):
        resting, incoming = Order(SELL, 100, 2.0), Order(BUY, 100, 3.0)
        assert self.book.add(resting) == []
        (fill,) = self.book.add(incoming)
        assert (fill.quantity, fill.price, repr(fill)[:14]) == (2.0, 50.0, "[2.00 @ 50.00]")
        assert self.book.cancel(resting.id) and self.book.cancel(incoming.id)

    def sweep(self):
        # A buy through five ask levels, its remainder then cancelled; the asks come back.
        taken = [o for o in self.book.sell_orders][:5]
        incoming = Order(BUY, 105, 10.0)
        assert len(self.book.add(incoming)) == 5 and self.book.cancel(incoming.id)
        for o in taken:
            self.book.cancel(o.id)
            self.book.add(o)

    def full_book_dropped(self):
        book = OrderBook()
        for p in range(1, 30):
            book.add(Order(BUY, p, 1.0))
            book.add(Order(SELL, p + 40, 1.0))
        book.update_order(self.sell)

    def immediate(self, all_or_none):
        # An immediate order that trades with a resting one, one that finds nothing (killed, or
        # recorded Canceled), then the registry emptied of both again.
        resting, taker = Order(SELL, 100, 2.0), Order(BUY, 100, 3.0)
        self.book.add(resting)
        assert len(self.book.take(taker, all_or_none)) == (0 if all_or_none else 1)
        lonely = Order(BUY, 1, 1.0)
        assert self.book.take(lonely, all_or_none) == []
        for order in (resting, taker, lonely):
            self.book.cancel(order.id)

    def amendments(self):
        order = Order(BUY, 80, 2.0)
        self.book.add(order)
        assert self.book.amend(order.id, 1.0) == [] and self.book.amend(order.id, price_in_ticks=81) == []
        assert self.book.amend(order.id, quantity=3.0, price_in_ticks=None) == []
        assert self.book.cancel(order.id) and self.book.amend(order.id, 1.0) is None

    def replaying(self):
        # Orders in, a trade, everything out again; the result arrays read through NumPy.
        B = OrderBook
        flow = np.array([(B.ADD, 1, 300, 2.0, 1), (B.ADD, 0, 300, 1.0, 2), (B.AMEND, 0, 301, 3.0, 1),
                         (B.CANCEL, 0, 0, 1.0, 1), (B.FOK, 0, 1, 5.0, 3), (B.CANCEL, 0, 0, 1.0, 9)],
                        dtype=np.dtype(B.EVENT_FIELDS))
        book = OrderBook()
        result = book.replay(flow, depth=2, every=2)
        assert [int(s) for s in np.asarray(result.events)["status"]] == [B.APPLIED] * 5 + [B.UNKNOWN_REF]
        assert len(np.asarray(result.fills)) == 1 and np.asarray(result.bids).shape == (3, 2)
        assert book.order_id(1) is None and self.book.order_id(1) is None

    def feeding(self):
        # Every feed verb, a crossed book, a refusal; the book emptied again.
        B = OrderBook
        flow = np.array([(B.POST, 1, 300, 2.0, 1, 0, 5), (B.POST, 0, 301, 1.0, 2, 0, 6),
                         (B.EXECUTE, 0, 0, 0.5, 1, 0, 7), (B.REDUCE, 0, 0, 0.5, 2, 0, 8),
                         (B.REPLACE, 0, 299, 1.0, 1, 3, 9), (B.EXECUTE, 0, 0, 9.0, 3, 0, 10),
                         (B.IOC, 0, 299, 1.0, 4, 0, 11), (B.CANCEL, 0, 0, 0.0, 2, 0, 12)],
                        dtype=np.dtype(B.FEED_EVENT_FIELDS))
        book = OrderBook()
        result = book.replay(flow, depth=2, every=3)
        assert np.asarray(result.events)["reason"].tolist() == [0] * 5 + [B.REASON_EXCEEDS, 0, 0]
        assert len(result.fills) == 2 and book.depth() == ([], [])

    def forgetting(self):
        resting = Order(SELL, 100, 1.0)
        self.book.add(resting)
        self.book.add(Order(BUY, 100, 1.0))
        assert self.book.forget_filled() == 2

    def lookups(self, unknown=None):
        assert repr(self.book.get_order(self.known_id)).startswith("[Buy 1 @ 93] [")
        assert (unknown or self.book.get_order)(self.unknown_id) is (None if unknown is None else False)

    def reentrant_create(self, hook, inner):
        order = self.book.create_order(BUY, hook, 1.0)
        assert order.price_in_ticks == 4 and hook.inner == inner

    def reentrant_fill(self):
        assert self.buy.fill(self.buy2, self.order_hook) is None
        assert self.order_hook.inner == ("RuntimeError", "Already mutably borrowed")


def prefixed(name, text):
    return (TypeError, "argument '%s': %s" % (name, text))


CASES = {
    # --- operations that succeed --------------------------------------------------------------
    "Order": (lambda e: Order(BUY, 100, 2.5), None),
    "Order by keyword": (lambda e: Order(quantity=1.0, side=SELL, price_in_ticks=True), None),
    "Order properties": (lambda e: (e.buy.id, e.buy.side, e.buy.price_in_ticks, e.buy.quantity,
                                    e.buy.status, e.buy.timestamp, e.buy.is_open(), repr(e.buy)), None),
    "can_match": (lambda e: (e.buy.can_match(e.sell), e.buy.can_match(e.buy)), None),
    "fill": (lambda e: repr(Order(BUY, 100, 3.0).fill(Order(SELL, 99, 2.0), 0.01)), None),
    "fill without match": (lambda e: e.buy.fill(e.buy2, 0.01), None),
    "Fill": (lambda e: (lambda f: (f.quantity, f.price, f.buy_id, f.sell_id, f.timestamp, repr(f)))(
        Fill(1.5, 2.5, e.known_id, "s", e.big - 1)), None),
    "OrderBook": (lambda e: (OrderBook(), OrderBook(0.25), OrderBook(tick_size=math.nan)), None),
    "enumerations": (lambda e: (int(BUY), BUY == SELL, BUY != 1, BUY == "Buy", repr(SELL),
                                OrderStatus.Filled == 1, repr(OrderStatus.Canceled)), None),
    "add and cancel": (lambda e: (e.book.add(e.buy2), e.book.cancel(e.buy2.id)), None),
    "add with a fill": (Env.trade, None),
    "sweep of five levels": (Env.sweep, None),
    "get_order": (Env.lookups, None),
    "update_order": (lambda e: (e.book.update_order(e.sell), e.book.cancel(e.sell.id)), None),
    "cancel unknown": (lambda e: e.lookups(e.book.cancel), None),
    "queries": (lambda e: (e.book.best_bid(), e.book.best_ask(), e.book.buy_volume(), e.book.sell_volume(),
                           e.book.spread(), e.book.tick_size, repr(e.book)), None),
    "listings": (lambda e: (e.book.buy_orders, e.book.sell_orders), None),
    "copies and pickles": (lambda e: (copy.copy(e.book), copy.deepcopy(e.buy), pickle.loads(pickle.dumps(e.book)),
                                      pickle.loads(pickle.dumps(Fill(1.0, 2.0, "b" * 50, e.known_id, 3)))), None),
    "damaged state": (lambda e: varnholt._restore(e.book.__reduce__()[1][0][:-2]), (ValueError, None)),
    "depth, level volume, queue position": (
        lambda e: (e.book.depth(), e.book.depth(0), e.book.depth(2**64 - 1), e.book.volume_at(BUY, 95),
                   e.book.volume_at(SELL, 1), e.book.queue_position(e.known_id),
                   e.book.queue_position(e.unknown_id)), None),
    "immediate-or-cancel": (lambda e: e.immediate(False), None),
    "fill-or-kill": (lambda e: e.immediate(True), None),
    "amendments": (Env.amendments, None),
    "forget_filled": (Env.forgetting, None),
    "replay": (Env.replaying, None),
    "replay of a feed": (Env.feeding, None),
    "replay of a wrong layout": (lambda e: e.book.replay(np.zeros(2, dtype=[("kind", "u1")])), (TypeError, None)),
    "create_order": (lambda e: e.book.create_order(SELL, 100.5, e.big), None),
    "book dropped with content": (Env.full_book_dropped, None),
    "hook value": (lambda e: e.book.create_order(quantity=IndexHook(3), side=BUY, price=FloatHook(7.0)), None),
    "hook reads the book during create_order": (
        lambda e: e.reentrant_create(e.read_hook, ("ok", (99, 1.0))), None),
    # --- argument binding -----------------------------------------------------------------------
    "too many: cancel": (lambda e: e.book.cancel(e.known_id, e.known_id),
                         (TypeError, "OrderBook.cancel() takes 1 positional arguments but 2 were given")),
    "too many: OrderBook": (lambda e: OrderBook(1.0, 2.0), (
        TypeError, "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given")),
    "too many: fill": (lambda e: e.buy.fill(e.sell, 0.01, e.big),
                       (TypeError, "Order.fill() takes 2 positional arguments but 3 were given")),
    "too many: best_bid": (lambda e: e.book.best_bid(e.big), (TypeError, None)),
    "unexpected keyword": (lambda e: e.book.get_order(id=e.known_id),
                           (TypeError, "OrderBook.get_order() got an unexpected keyword argument 'id'")),
    "unexpected keyword: Order": (lambda e: Order(BUY, 1, 1.0, **{e.lone: 1}),
                                  (TypeError, "Order.__new__() got an unexpected keyword argument 'ID\ud800'")),
    "multiple values": (lambda e: e.book.get_order(e.known_id, order_id=e.known_id),
                        (TypeError, "OrderBook.get_order() got multiple values for argument 'order_id'")),
    "multiple values: Fill": (lambda e: Fill(1.0, 2.0, "b", "s", 0, price=1.0),
                              (TypeError, "Fill.__new__() got multiple values for argument 'price'")),
    "missing: add": (lambda e: e.book.add(),
                     (TypeError, "OrderBook.add() missing 1 required positional argument: 'incoming_order'")),
    "missing: Fill": (lambda e: Fill(1.0, buy_id="b"), (TypeError, "Fill.__new__() missing 3 required "
                                                        "positional arguments: 'price', 'sell_id', and 'timestamp'")),
    # --- argument conversion --------------------------------------------------------------------
    "wrong type: add": (lambda e: e.book.add(e.known_id),
                        prefixed("incoming_order", "'str' object cannot be converted to 'Order'")),
    "wrong type: cancel": (lambda e: e.book.cancel(e.big),
                           prefixed("order_id", "'int' object cannot be converted to 'PyString'")),
    "wrong type: side": (lambda e: e.book.create_order(OrderStatus.Open, 1.0, 1.0),
                         prefixed("side", "'OrderStatus' object cannot be converted to 'OrderType'")),
    "wrong type: price_in_ticks": (lambda e: Order(BUY, 1.5, 1.0),
                                   prefixed("price_in_ticks", "'float' object cannot be interpreted as an integer")),
    "wrong type: quantity": (lambda e: Order(BUY, 1, e.known_id),
                             prefixed("quantity", "must be real number, not str")),
    "wrong type: sell_id after buy_id": (lambda e: Fill(1.0, 1.0, e.known_id, None, 0),
                                         prefixed("sell_id", "'NoneType' object cannot be converted to 'PyString'")),
    "wrong type: timestamp": (lambda e: Fill(1.0, 1.0, "b", "s", 0.0),
                              prefixed("timestamp", "'float' object cannot be interpreted as an integer")),
    "wrong type: tick_size after incoming": (lambda e: e.buy.fill(e.sell, None),
                                             prefixed("tick_size", "must be real number, not NoneType")),
    "wrong type: other": (lambda e: e.buy.can_match(e.book),
                          prefixed("other", "'OrderBook' object cannot be converted to 'Order'")),
    "wrong type: update_order": (lambda e: e.book.update_order(BUY),
                                 prefixed("order", "'OrderType' object cannot be converted to 'Order'")),
    "overflow: price_in_ticks": (lambda e: Order(BUY, e.big // 2, 1.0), (OverflowError, None)),
    "overflow: negative price_in_ticks": (lambda e: Order(BUY, -e.big // 2 - 1, 1.0), (OverflowError, None)),
    "overflow: negative timestamp": (lambda e: Fill(1.0, 1.0, "b", "s", -1), (OverflowError, None)),
    "overflow: timestamp": (lambda e: Fill(1.0, 1.0, "b", "s", e.big), (OverflowError, None)),
    "overflow: quantity": (lambda e: e.book.create_order(BUY, 1.0, e.big ** 20), (OverflowError, None)),
    "lone surrogate: cancel": (lambda e: e.book.cancel(e.lone), (UnicodeEncodeError, None)),
    "lone surrogate: get_order": (lambda e: e.book.get_order(e.lone), (UnicodeEncodeError, None)),
    "lone surrogate: sell_id": (lambda e: Fill(1.0, 1.0, "b", e.lone, 0), (UnicodeEncodeError, None)),
    "__float__ raises": (lambda e: Order(BUY, 1, e.hooks["raise"][0]), (HookError, "from hook")),
    "__index__ raises": (lambda e: Order(BUY, e.hooks["raise"][1], 1.0), (HookError, "from hook")),
    "__float__ raises TypeError": (lambda e: e.book.create_order(BUY, e.hooks["type"][0], 1.0),
                                   prefixed("price", "hook refused")),
    "__index__ raises TypeError": (lambda e: Fill(1.0, 1.0, "b", "s", e.hooks["type"][1]),
                                   prefixed("timestamp", "hook refused")),
    "__float__ returns str": (lambda e: e.buy.fill(e.sell, e.hooks["wrong"][0]),
                              prefixed("tick_size", "FloatHook.__float__ returned non-float (type str)")),
    "__index__ returns str": (lambda e: Order(BUY, e.hooks["wrong"][1], 1.0),
                              prefixed("price_in_ticks", "__index__ returned non-int (type str)")),
    # --- borrows ---------------------------------------------------------------------------------
    "fill with itself": (lambda e: e.buy.fill(e.buy, 0.01), (RuntimeError, "Already borrowed")),
    "hook adds to the book during create_order": (
        lambda e: e.reentrant_create(e.book_hook, ("RuntimeError", "Already borrowed")), None),
    "hook reads the receiver during fill": (Env.reentrant_fill, None),
    # --- validation and other refusals ----------------------------------------------------------
    "Order price": (lambda e: Order(SELL, 0, 1.0), (ValueError, "price_in_ticks must be positive")),
    "Order quantity": (lambda e: Order(SELL, 1, -0.0), (ValueError, "quantity must be positive")),
    "create_order price": (lambda e: e.book.create_order(BUY, -1.0, 1.0),
                           (ValueError, "Price and quantity must be positive")),
    "create_order ticks": (lambda e: e.book.create_order(BUY, 0.2, 1.0),
                           (ValueError, "Resulting price_in_ticks must be positive")),
    "create_order infinite quantity": (lambda e: e.book.create_order(BUY, 1.0, math.inf),
                                       (ValueError, "quantity must be a finite number")),
    "add NaN quantity": (lambda e: e.book.add(Order(SELL, 1, math.nan)),
                         (ValueError, "quantity must be a finite number")),
    "take infinite quantity": (lambda e: e.book.take(Order(SELL, 1, math.inf), True),
                               (ValueError, "quantity must be a finite number")),
    "amend quantity": (lambda e: e.book.amend(e.known_id, -1.0), (ValueError, "quantity must be positive")),
    "amend price": (lambda e: e.book.amend(e.known_id, 1.0, 0), (ValueError, "price_in_ticks must be positive")),
    "depth of a negative count": (lambda e: e.book.depth(-1), (OverflowError, None)),
    "wrong type: take": (lambda e: e.book.take(e.known_id), prefixed("order", "'str' object cannot be converted to 'Order'")),
    "wrong type: volume_at side": (lambda e: e.book.volume_at(1, 95),
                                   prefixed("side", "'int' object cannot be converted to 'OrderType'")),
    "hash of a side": (lambda e: hash(SELL), (TypeError, "unhashable type: 'builtins.OrderType'")),
    "ordering of statuses": (lambda e: OrderStatus.Open < OrderStatus.Filled, (TypeError, None)),
    "OrderType()": (lambda e: OrderType(), (TypeError, "No constructor defined for OrderType")),
    "assignment": (lambda e: setattr(e.buy, "quantity", 1.0), (AttributeError, None)),
}

COMMON = [TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError, AttributeError,
          KeyError, HookError, FloatHook, IndexHook, Order, Fill, OrderBook, OrderType, OrderStatus,
          BUY, SELL, OrderStatus.Open, OrderStatus.Filled, OrderStatus.Canceled]


def run(call, env, expect):
    if expect is None:
        call(env)
        return
    try:
        call(env)
    except expect[0] as error:
        if expect[1] is not None:
            assert str(error) == expect[1]
        if expect[1] == "hook refused":
            assert type(error.__cause__) is KeyError
    else:
        raise AssertionError("no %s raised" % expect[0].__name__)


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_call_keeps_memory_and_references(name):
    call, expect = CASES[name]
    env = Env()
    for _ in range(WARMUP):
        run(call, env, expect)
    # Immortal objects (3.12+: built-in types, None, small ints) carry a huge count that the
    # stable ABI's inline reference counting may nudge; only mortal objects can show a leak.
    watched = [o for o in env.watched() + COMMON if sys.getrefcount(o) < 2**30]
    state = repr(env.book)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    for _ in range(ROUNDS):
        run(call, env, expect)
    gc.collect()
    grown_blocks, grown_heap = sys.getallocatedblocks() - blocks, heap_in_use() - heap
    after = [sys.getrefcount(o) for o in watched]
    assert [(repr(o)[:40], a - b) for o, b, a in zip(watched, refs, after) if a != b] == []
    assert grown_blocks < BLOCK_SLACK, grown_blocks
    assert grown_heap < HEAP_SLACK, grown_heap
    assert repr(env.book) == state   # every case leaves the book as it found it
    assert env.book.cancel(env.unknown_id) is False  # ... and not borrowed


@pytest.mark.skipif(_mallinfo2 is None, reason="needs glibc's mallinfo2")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator does not report through mallinfo2")
@pytest.mark.parametrize("empty_by", ["cancels", "trades"])
def test_large_book_gives_back_its_memory(empty_by):
    n = 100_000
    OrderBook().add(Order(BUY, 1, 1.0))   # let the allocator settle first
    gc.collect()
    before = heap_in_use()
    book = OrderBook()
    ids = []
    for i in range(n):
        order = Order(BUY, 1 + i % 1000, 1.0)
        book.add(order)
        ids.append(order.id)
    del order
    full = heap_in_use()
    assert full - before > 40 * n    # the measurement sees the book's own allocations
    if empty_by == "cancels":
        assert all(book.cancel(i) for i in ids)
    else:
        fills = book.add(Order(SELL, 1, float(n)))
        assert len(fills) == n and sum(f.quantity for f in fills) == n
        del fills
    assert book.buy_orders == [] and book.best_bid() is None
    del book, ids
    gc.collect()
    assert heap_in_use() - before < 256 * 1024, (before, full, heap_in_use())


OUT_OF_MEMORY = r"""
import gc, resource, sys
sys.path.insert(0, sys.argv[1])
from model import ModelBook, ModelOrder
from varnholt import Order, OrderBook, OrderType

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

BUY, SELL = OrderType.Buy, OrderType.Sell
book, model = OrderBook(1.0), ModelBook(1.0)
# The registry's arrays double at 2**18 entries (a new 32 MiB array): stop 100 entries short.
for i in range(2**18 - 100):
    order = Order(BUY, 1000 + i % 20, 1.0) if i % 2 else Order(SELL, 2000 + i % 20, 1.0)
    book.add(order)
    model.add(ModelOrder.of(order))
ahead = [Order(BUY, 10 + i % 50, 2.0) for i in range(400)]
twins = [ModelOrder.of(order) for order in ahead]
crossing = Order(SELL, 1019, 3.0)  # takes three bids at the best level
cancels = [o.id for o in book.sell_orders[:20]]
gc.collect()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 12 * 2**20, hard))
added = 0
try:
    for order in ahead[:50]:
        book.add(order)
        added += 1
    book.add(crossing)
    for order_id in cancels:
        assert book.cancel(order_id)
    try:
        for order in ahead[50:]:
            book.add(order)
            added += 1
    except MemoryError:
        pass
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert added < len(ahead), "no MemoryError: the limit was too generous"
failed = ahead[added]
assert book.get_order(failed.id) is None  # the failed add left nothing behind

for twin in twins[:50]:
    model.add(twin)
model.add(ModelOrder.of(crossing))
for order_id in cancels:
    model.cancel(order_id)
for twin in twins[50:added]:
    model.add(twin)
def listing(orders):
    return [(o.id, o.price_in_ticks, o.quantity, int(o.status)) for o in orders]
assert listing(book.buy_orders) == listing(model.buy_orders())
assert listing(book.sell_orders) == listing(model.sell_orders())
assert (book.buy_volume(), book.sell_volume(), repr(book)) == (model.buy_volume(), model.sell_volume(), model.summary())
for order_id in list(model.orders) + cancels + [failed.id]:
    got, want = book.get_order(order_id), model.get_order(order_id)
    assert (got is None) == (want is None), order_id
    assert got is None or (got.price_in_ticks, got.quantity, int(got.status)) == (
        want.price_in_ticks, want.quantity, want.status)
# The book goes on: the order that failed can be added now.
assert book.add(failed) == [] and book.get_order(failed.id) is not None
print("ok", added)
"""


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/status")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than any limit would allow")
def test_running_out_of_memory_raises_memory_error_and_corrupts_nothing():
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, here], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith("ok")
