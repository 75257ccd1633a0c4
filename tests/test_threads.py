"""Several threads share one book and a pool of orders and call every method at random,
with the interpreter forced to switch threads as often as it can.

The interpreter lock serialises the calls, but the order in which the threads' calls
took effect cannot be recorded exactly (a sequence number taken before or after a call
is not atomic with it), so the end state is not compared with a sequential replay.
Every check below holds whatever the interleaving was:

- no crash, no deadlock (every thread ends within the timeout), and no exception at
  all, in particular no borrow error: each call runs to completion without another
  thread in between, as no Python code runs while a call holds its objects (there are
  no argument hooks here, and a collection that starts while a call builds its result
  runs after the call has let go of the book);
- each order is added once, with a whole-number quantity, so quantities are exact.
  For every added order the fills naming it (seen by whichever thread added the
  incoming order) add up to what it lost: cancelled orders (at most one successful
  cancel per id) are gone from the registry and the levels; the others are in the
  registry with exactly the original quantity minus their fills, Filled when that is
  zero, and resting with that quantity otherwise; nothing else rests;
- every fill names the incoming order and an earlier opposite order whose price
  crosses, is priced at the resting order's price, and one add sweeps levels in price
  order; each snapshot taken while the others ran (listings, spread, best levels,
  get_order) was ordered, uncrossed and within the order's quantity range;
- orders of the shared pool are only filled against each other and recorded with
  update_order: each lost exactly the sum of its pool fills, and the registry holds
  for it a value that the order really had at some moment.
"""
import pickle
import random
import sys
import threading
import time
from collections import defaultdict

import pytest

from varnholt import Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
THREADS, CALLS, POOL = 6, 3000, 12
PRICES = range(95, 106)
UNKNOWN = "00000000-0000-4000-8000-000000000000"


@pytest.fixture
def busy_interpreter():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def check_snapshot(buys, sells):
    for listing, side in ((buys, BUY), (sells, SELL)):
        prices = [o.price_in_ticks for o in listing]
        assert prices == sorted(prices)
        assert all(o.side == side and o.status == OrderStatus.Open and o.quantity > 0 for o in listing)
    if buys and sells:
        assert buys[-1].price_in_ticks < sells[0].price_in_ticks


def worker(seed, book, pool, added, immediates, amended, start, log):
    rng = random.Random(seed)
    mine = []

    def add():
        side, price, qty = rng.choice([BUY, SELL]), rng.choice(PRICES), float(rng.randint(1, 5))
        order = book.create_order(side, price, qty) if rng.random() < 0.5 else Order(side, price, qty)
        assert (order.side, order.price_in_ticks, order.quantity) == (side, price, qty)
        added[order.id] = (side, price, qty)
        mine.append(order.id)
        log["adds"].append((order.id, [(f.quantity, f.price, f.buy_id, f.sell_id) for f in book.add(order)]))

    def pick_id():
        ids = list(added)
        return rng.choice(ids) if ids and rng.random() < 0.9 else UNKNOWN

    def cancel():
        oid = rng.choice(mine) if mine and rng.random() < 0.5 else pick_id()
        log["cancels"].append((oid, book.cancel(oid)))

    def immediate():
        side, price, qty = rng.choice([BUY, SELL]), rng.choice(PRICES), float(rng.randint(1, 5))
        order = Order(side, price, qty)
        all_or_none = rng.random() < 0.5
        added[order.id] = (side, price, qty)
        immediates[order.id] = all_or_none
        fills = book.take(order, all_or_none)
        assert not all_or_none or not fills or sum(f.quantity for f in fills) == qty
        log["adds"].append((order.id, [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]))

    def amend():
        # A lower quantity keeps the order's place; how much it then loses to other threads'
        # fills cannot be told apart from what the amendment took, so such orders are only
        # checked for consistency at the end.
        if mine:
            oid = rng.choice(mine)
            amended.add(oid)
            result = book.amend(oid, quantity=0.5)
            assert result is None or result == []

    def get_order():
        oid = pick_id()
        found = book.get_order(oid)
        if found is not None:
            log["seen"].append((oid, found.quantity, found.status == OrderStatus.Filled))

    def pool_fill():
        a, b = rng.sample(pool, 2)
        assert a.can_match(b) is b.can_match(a)
        f = a.fill(b, 1.0)
        if f is not None:
            assert f.price == float(a.price_in_ticks)
            log["pool fills"].append((f.quantity, f.buy_id, f.sell_id))

    def pool_record():
        order = rng.choice(pool)
        book.update_order(order)
        found = book.get_order(order.id)
        assert found is not None and found.id == order.id

    def snapshot():
        check_snapshot(book.buy_orders, book.sell_orders)
        # A pickle is taken between two changes, never during one: it always restores.
        copied = pickle.loads(pickle.dumps(book))
        check_snapshot(copied.buy_orders, copied.sell_orders)
        bids, asks = book.depth(5)
        assert [p for p, _, _ in bids] == sorted((p for p, _, _ in bids), reverse=True)
        assert [p for p, _, _ in asks] == sorted(p for p, _, _ in asks)
        assert all(q > 0 and n > 0 for _, q, n in bids + asks)
        # One call sees one book, never crossed; two calls may see two (another thread's sell can
        # take the bids at a price and rest there in between).
        assert not bids or not asks or bids[0][0] < asks[0][0]
        quantity, orders = book.volume_at(rng.choice([BUY, SELL]), rng.choice(PRICES))
        assert (quantity > 0) == (orders > 0)
        position = book.queue_position(pick_id())
        assert position is None or (position[0] >= 0 and position[1] >= 0)
        spread, bid, ask = book.spread(), book.best_bid(), book.best_ask()
        assert spread is None or spread > 0
        assert bid is None or bid[0] in PRICES and bid[1] > 0
        assert ask is None or ask[0] in PRICES and ask[1] > 0
        assert book.buy_volume() >= 0 and book.sell_volume() >= 0 and book.tick_size == 1.0
        assert repr(book).startswith("Best Bid: ")
        order = rng.choice(pool)
        assert repr(order).startswith("[Buy " if order.side == BUY else "[Sell ")
        # Another thread can fill a pool order between two reads of it; the registry's copy is
        # a new object that only this thread holds.
        copy = book.get_order(order.id)
        assert copy is None or copy.is_open() is (copy.status == OrderStatus.Open)

    calls = [add] * 5 + [cancel] * 2 + [immediate, amend, get_order, pool_fill, pool_fill, pool_record, snapshot]
    start.wait()
    try:
        for _ in range(CALLS):
            rng.choice(calls)()
    except BaseException as error:        # anything at all, RuntimeError included, fails the test
        log["errors"].append(repr(error))


def test_threads_sharing_a_book_and_orders(busy_interpreter):
    book = OrderBook(1.0)
    pool = [Order(side, price, 6.0) for side in (BUY, SELL) for price in (97, 99, 100, 101, 103, 104)][:POOL]
    initial = {o.id: o.quantity for o in pool}
    added, immediates, amended = {}, {}, set()
    logs = [defaultdict(list) for _ in range(THREADS)]
    start = threading.Barrier(THREADS)
    threads = [threading.Thread(target=worker, args=(k, book, pool, added, immediates, amended, start, logs[k]),
                                daemon=True)
               for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert [e for log in logs for e in log["errors"]] == []
    merged = {key: [x for log in logs for x in log[key]] for key in ("adds", "cancels", "seen", "pool fills")}
    assert len(merged["adds"]) == len(added) > THREADS * CALLS // 4

    # Fills of the book: what each one names, its price, the sweep order.
    filled = defaultdict(float)
    pairs = set()
    for incoming, fills in merged["adds"]:
        side, limit, _ = added[incoming]
        last = None
        for qty, price, buy_id, sell_id in fills:
            other = sell_id if side == BUY else buy_id
            assert (buy_id if side == BUY else sell_id) == incoming and other in added
            other_side, other_price, _ = added[other]
            assert other_side != side and price == float(other_price)
            assert other_price <= limit if side == BUY else other_price >= limit
            assert last is None or (other_price >= last if side == BUY else other_price <= last)
            assert (incoming, other) not in pairs and qty > 0
            pairs.add((incoming, other))
            last = other_price
            filled[incoming] += qty
            filled[other] += qty

    # Every added order ends exactly where its fills and cancels put it.
    successful = [oid for oid, ok in merged["cancels"] if ok]
    assert len(successful) == len(set(successful)) and UNKNOWN not in successful
    cancelled = set(successful)
    resting = {o.id: o for o in book.buy_orders + book.sell_orders}
    check_snapshot(book.buy_orders, book.sell_orders)
    for oid, (side, price, qty) in added.items():
        left = qty - filled[oid]
        assert left >= 0
        if oid in cancelled:
            assert book.get_order(oid) is None and oid not in resting
            continue
        record = book.get_order(oid)
        if oid in immediates:    # never rests; recorded Canceled with what it did not trade
            assert oid not in resting
            if immediates[oid] and left > 0:   # a killed fill-or-kill is not recorded at all
                assert filled[oid] == 0 and record is None
            else:
                assert (record.quantity, record.status) == (left, OrderStatus.Filled if left == 0
                                                            else OrderStatus.Canceled)
            continue
        if oid in amended:       # consistent, though its quantity cannot be predicted
            assert record.quantity <= left and (oid in resting) is (record.quantity > 0)
            assert oid not in resting or resting[oid].quantity == record.quantity
            continue
        assert (record.side, record.price_in_ticks, record.quantity) == (side, price, left)
        assert (record.status == OrderStatus.Filled) is (left == 0)
        assert (oid in resting) is (left > 0)
        if left > 0:
            assert resting[oid].quantity == left
    assert set(resting) <= set(added) - cancelled
    for side, volume in ((BUY, book.buy_volume()), (SELL, book.sell_volume())):
        assert volume == sum(o.quantity for o in resting.values() if o.side == side)
    bids, asks = book.depth(len(PRICES))
    for side, levels in ((BUY, bids), (SELL, asks)):
        for price, quantity, orders in levels:
            here = [o for o in book.buy_orders + book.sell_orders if o.side == side and o.price_in_ticks == price]
            assert (quantity, orders) == (sum(o.quantity for o in here), len(here)) == book.volume_at(side, price)
    for oid, quantity, is_filled in merged["seen"]:
        side, price, qty = added[oid]
        assert quantity <= qty and is_filled is (quantity == 0)
        assert oid in amended or qty - filled[oid] <= quantity

    # The pool: fills between its orders only, and what update_order recorded.
    lost = defaultdict(float)
    for qty, buy_id, sell_id in merged["pool fills"]:
        lost[buy_id] += qty
        lost[sell_id] += qty
    for order in pool:
        assert order.quantity == initial[order.id] - lost[order.id]
        assert (order.status == OrderStatus.Filled) is (order.quantity == 0)
        assert order.id not in resting
        record = book.get_order(order.id)
        if record is not None:
            assert (record.side, record.price_in_ticks) == (order.side, order.price_in_ticks)
            assert order.quantity <= record.quantity <= initial[order.id]
    assert sum(lost.values()) > 0 and sum(filled.values()) > 0


class _HandsOverTheLock:
    """Garbage in a reference cycle whose finalizer lets other threads run."""

    def __init__(self):
        self.cycle = self

    def __del__(self):
        time.sleep(0.0001)


def test_finalizers_run_while_results_are_built_cause_no_borrow_error(busy_interpreter):
    # A collection can start while a call allocates its result objects; the finalizers it
    # runs may hand the interpreter lock to another thread, whose call on the same book
    # must not find the book still borrowed.
    book = OrderBook(1.0)
    for price in range(1, 50):
        book.add(Order(BUY, price, 1.0))
    errors, done = [], threading.Event()

    def lister():
        kept = []  # kept alive a while, so that allocations add up and collections start
        try:
            for _ in range(5000):
                _HandsOverTheLock()
                kept.append((book.buy_orders, book.best_bid()))
                if len(kept) > 100:
                    kept.clear()
        finally:
            done.set()

    def canceller():
        while not done.is_set():
            try:
                book.cancel(UNKNOWN)
                book.get_order(UNKNOWN)
            except RuntimeError as error:
                errors.append(str(error))

    threads = [threading.Thread(target=canceller), threading.Thread(target=lister)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
