"""Seeded single-instrument order flow and the drivers that replay it.

An event is a plain tuple whose first item is its kind:

    (ADD, side, price_in_ticks, quantity)   Order(...) then book.add
    (CREATE, side, price, quantity)         book.create_order(...) then book.add
    (CANCEL, ref) / (GET, ref)              ref: index of the event that made the order
                                            (-1: an id that no book has seen)
    (BEST_BID,) ... (SELL_ORDERS,)          read-only queries

side is 0 (buy) or 1 (sell).  The generator runs the flow on a baseline book as
it goes, so cancels hit resting orders and sweeps are sized from the levels
they are meant to take.  The mix follows what exchange message data of liquid
stocks shows: about half new limit orders, 40-45 % cancellations, a few %
executions; the rest here are quote queries.
"""
import math
import random

import baseline

(ADD, CREATE, CANCEL, GET, BEST_BID, BEST_ASK, SPREAD,
 BUY_VOL, SELL_VOL, REPR, BUY_ORDERS, SELL_ORDERS) = range(12)
QUERIES = {BEST_BID: "best_bid", BEST_ASK: "best_ask", SPREAD: "spread",
           BUY_VOL: "buy_volume", SELL_VOL: "sell_volume"}
UNKNOWN_ID = "00000000-0000-4000-8000-000000000000"
TICK = 0.01

# shares of new limit orders, cancels and marketable orders (rest: queries),
# mean number of resting orders a marketable order takes, share of those that
# take whole levels instead, mean distance of a new order behind its touch,
# resting orders aimed at
PROFILES = {
    "typical": dict(new=0.48, cancel=0.44, sweep=0.01, take=3.0, levels=0.04, depth=3.0, book=1_200),
    "aggressive": dict(new=0.52, cancel=0.22, sweep=0.05, take=5.0, levels=0.3, depth=8.0, book=800),
}
LOTS = (1.0, 1.0, 2.0, 3.0, 5.0, 10.0, 10.0, 20.0, 50.0, 100.0)


class _Flow:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.book = baseline.OrderBook(TICK)
        self.events = []
        self.live = []  # event indices of resting orders
        self.pos = {}  # event index -> position in live
        self.gone = []  # event indices of filled or cancelled orders
        self.index = {}  # baseline id -> event index
        self.ids = {}  # event index -> baseline id
        self.mid = 10_000

    def _geometric(self, mean):
        """0, 1, 2, ... with the given mean."""
        p = 1.0 / (1.0 + mean)
        return int(math.log(1.0 - self.rng.random()) / math.log(1.0 - p))

    def _quantity(self):
        if self.rng.random() < 0.6:
            return self.rng.choice(LOTS)
        return max(0.01, round(self.rng.lognormvariate(1.0, 1.0), 2))

    def _rest(self, i):
        self.pos[i] = len(self.live)
        self.live.append(i)

    def _drop(self, i):
        k = self.pos.pop(i)
        last = self.live.pop()
        if last != i:
            self.live[k] = last
            self.pos[last] = k
        self.gone.append(i)

    def touch(self):
        bids, asks = self.book._bids, self.book._asks
        return (bids.peekitem(-1)[0] if bids else None), (asks.peekitem(0)[0] if asks else None)

    def order(self, side, ticks, qty):
        """Emit a new order and apply it to the simulated book."""
        i = len(self.events)
        if self.rng.random() < 0.1:
            price = ticks * TICK
            self.events.append((CREATE, side, price, qty))
            o = self.book.create_order(side, price, qty)
            assert o.price_in_ticks == ticks
        else:
            self.events.append((ADD, side, ticks, qty))
            o = baseline.Order(side, ticks, qty)
        self.index[o.id] = i
        self.ids[i] = o.id
        registry = self.book._orders
        for f in self.book.add(o):
            rid = f.sell_id if side == baseline.BUY else f.buy_id
            if registry[rid].status == baseline.FILLED:
                self._drop(self.index[rid])
        if registry[o.id].status == baseline.OPEN:
            self._rest(i)
        else:
            self.gone.append(i)

    def limit(self, side, mean_depth=3.0):
        """A non-marketable order, a geometric number of ticks behind its own touch
        (one in ten from a ten times wider distribution)."""
        bid, ask = self.touch()
        if bid is not None and ask is not None:
            self.mid = (bid + ask) // 2
        elif self.rng.random() < 0.1:
            self.mid += self.rng.choice((-1, 1))
        depth = self._geometric(mean_depth if self.rng.random() < 0.9 else 10 * mean_depth)
        if side == baseline.BUY:
            top = bid if bid is not None else (ask - 1 if ask is not None else self.mid - 1)
            ticks = top + 1 if ask is not None and top + 1 < ask and self.rng.random() < 0.15 else top - depth
            if ask is not None:
                ticks = min(ticks, ask - 1)
        else:
            top = ask if ask is not None else (bid + 1 if bid is not None else self.mid + 1)
            ticks = top - 1 if bid is not None and top - 1 > bid and self.rng.random() < 0.15 else top + depth
            if bid is not None:
                ticks = max(ticks, bid + 1)
        self.order(side, max(ticks, 1), self._quantity())

    def sweep(self, side, take, levels):
        """A marketable order for the first resting orders in priority, the last
        one partly: a geometric number of them (mean `take`) or, with chance
        `levels`, all orders of one or more whole levels and the next one."""
        opposite = self.book._asks if side == baseline.BUY else self.book._bids
        if not opposite:
            return self.limit(side)
        left = 1 + self._geometric(take - 1.0)
        if self.rng.random() < levels:
            whole = 1 + self._geometric(0.6)
            left = 1 + sum(len(opposite.peekitem(j if side == baseline.BUY else -1 - j)[1])
                           for j in range(min(whole, len(opposite))))
        qty = 0.0
        for j in range(len(opposite)):
            ticks, level = opposite.peekitem(j if side == baseline.BUY else -1 - j)
            for o in level:
                left -= 1
                qty += o.quantity if left else o.quantity * self.rng.random()
                if not left:
                    break
            if not left:
                break
        self.order(side, ticks, max(0.01, round(qty, 2)))

    def cancel(self, late=0.03):
        r = self.rng.random()
        if self.live and r > late:
            i = self.rng.choice(self.live)
        elif self.gone and r > late / 3:
            i = self.rng.choice(self.gone)  # filled or already cancelled
        else:
            i = -1
        self.events.append((CANCEL, i))
        if i >= 0 and self.book.cancel(self.ids[i]) and i in self.pos:
            self._drop(i)

    def query(self):
        r = self.rng.random()
        if r < 0.3:
            self.events.append((BEST_BID,))
        elif r < 0.6:
            self.events.append((BEST_ASK,))
        elif r < 0.8:
            self.events.append((SPREAD,))
        else:
            pool = self.live if self.live and self.rng.random() < 0.8 else self.gone
            self.events.append((GET, self.rng.choice(pool) if pool else -1))


def generate(profile, n, seed=1):
    """Events of a profile: 'typical' or 'aggressive' (n events), or 'deep'
    (n resting orders over thousands of levels, then a tail of mixed events with
    volumes, summaries and order lists of the deep book)."""
    f = _Flow(seed)
    rng = f.rng
    side = lambda: rng.randrange(2)
    if profile == "deep":
        for _ in range(n):
            s = side()
            dist = int(rng.expovariate(1 / 600))
            f.order(s, 9_999 - dist if s == baseline.BUY else 10_001 + dist, f._quantity())
        heavy = (BUY_VOL, SELL_VOL, REPR)
        for k in range(3_000):
            if k % 250 == 0:
                f.events.extend((e,) for e in heavy)
            if k % 1_000 == 500:
                f.events.extend(((BUY_ORDERS,), (SELL_ORDERS,)))
            r = rng.random()
            if r < 0.35:
                f.limit(side(), 30.0)
            elif r < 0.7:
                f.cancel()
            elif r < 0.72:
                f.sweep(side(), 3.0, 0.2)
            else:
                f.query()
        return f.events
    mix = PROFILES[profile]
    target = mix["book"]
    for _ in range(min(target, n // 10)):  # opening book
        f.limit(side(), mix["depth"])
    a = mix["new"]
    b = a + mix["cancel"]
    c = b + mix["sweep"]
    while len(f.events) < n:
        r = rng.random()
        if r < b:  # new order or cancel, held near the target book size
            size = len(f.live)
            if (r < a and size < 1.25 * target) or size < 0.75 * target:
                f.limit(side(), mix["depth"])
            else:
                f.cancel()
        elif r < c:
            f.sweep(side(), mix["take"], mix["levels"])
        else:
            f.query()
    return f.events


def replay(mod, events):
    """Replay events on a new book of module `mod` (varnholt or baseline), as fast
    as a plain driver can; returns the book."""
    book = mod.OrderBook(TICK)
    Order, add, cancel, get, create = mod.Order, book.add, book.cancel, book.get_order, book.create_order
    best_bid, best_ask, spread = book.best_bid, book.best_ask, book.spread
    sides = (mod.OrderType.Buy, mod.OrderType.Sell)
    ids = [None] * len(events) + [UNKNOWN_ID]  # a ref of -1 reads the unknown id
    for i, ev in enumerate(events):
        k = ev[0]
        if k == ADD:
            o = Order(sides[ev[1]], ev[2], ev[3])
            ids[i] = o.id
            add(o)
        elif k == CANCEL:
            cancel(ids[ev[1]])
        elif k == BEST_BID:
            best_bid()
        elif k == BEST_ASK:
            best_ask()
        elif k == SPREAD:
            spread()
        elif k == GET:
            get(ids[ev[1]])
        elif k == CREATE:
            o = create(sides[ev[1]], ev[2], ev[3])
            ids[i] = o.id
            add(o)
        elif k == REPR:
            repr(book)
        elif k == BUY_ORDERS:
            book.buy_orders
        elif k == SELL_ORDERS:
            book.sell_orders
        else:
            getattr(book, QUERIES[k])()
    return book


def record(mod, events):
    """Replay events and return one text per event describing its result, then
    texts of the final book.  Order ids appear as the index of the event that
    made the order, so the texts of two implementations can be compared;
    floats appear in full (repr), so -0.0 and last-bit differences show."""
    book = mod.OrderBook(TICK)
    sides = (mod.OrderType.Buy, mod.OrderType.Sell)
    ids = [None] * len(events) + [UNKNOWN_ID]
    where = {UNKNOWN_ID: -1}

    def order(o):
        if o is None:
            return None
        return (where.get(o.id, o.id), int(o.side), o.price_in_ticks, o.quantity, int(o.status))

    out = []
    for i, ev in enumerate(events):
        k = ev[0]
        if k == ADD or k == CREATE:
            if k == ADD:
                o = mod.Order(sides[ev[1]], ev[2], ev[3])
            else:
                o = book.create_order(sides[ev[1]], ev[2], ev[3])
            if o.id in where:
                raise AssertionError(f"{mod.__name__}: event {i} repeats id {o.id}")
            ids[i] = o.id
            where[o.id] = i
            r = [order(o)] + [(f.quantity, f.price, where.get(f.buy_id, f.buy_id),
                               where.get(f.sell_id, f.sell_id)) for f in book.add(o)]
        elif k == CANCEL:
            r = book.cancel(ids[ev[1]])
        elif k == GET:
            r = order(book.get_order(ids[ev[1]]))
        elif k == REPR:
            r = repr(book)
        elif k in (BUY_ORDERS, SELL_ORDERS):
            r = [order(o) for o in (book.buy_orders if k == BUY_ORDERS else book.sell_orders)]
        else:
            r = getattr(book, QUERIES[k])()
        out.append(repr(r))
    for name in ("buy_orders", "sell_orders"):
        out.append(repr([order(o) for o in getattr(book, name)]))
    for name in ("best_bid", "best_ask", "spread", "buy_volume", "sell_volume"):
        out.append(repr(getattr(book, name)()))
    out.append(repr(book))
    return out


def replay_events(mod, events):
    """The adds and cancels of a flow as OrderBook.replay events (a NumPy structured array), each
    order under the index of the event that made it; queries are left out."""
    import numpy as np
    book = mod.OrderBook
    rows = []
    for i, ev in enumerate(events):
        k = ev[0]
        if k == ADD:
            rows.append((book.ADD, ev[1], ev[2], ev[3], i))
        elif k == CREATE:
            rows.append((book.ADD, ev[1], baseline._ticks(ev[2], TICK), ev[3], i))
        elif k == CANCEL:
            rows.append((book.CANCEL, 0, 0, 0.0, ev[1] if ev[1] >= 0 else len(events)))
    return np.array(rows, dtype=np.dtype(mod.OrderBook.EVENT_FIELDS))


def per_call_replay(mod, rows):
    """The fastest plain loop over the same events through the per-call methods: rows are
    (kind, side, price_in_ticks, quantity, ref) tuples."""
    book = mod.OrderBook(TICK)
    Order, add, cancel = mod.Order, book.add, book.cancel
    sides = (mod.OrderType.Buy, mod.OrderType.Sell)
    ids = {}
    for kind, side, price, quantity, ref in rows:
        if kind == 0:
            o = Order(sides[side], price, quantity)
            ids[ref] = o.id
            add(o)
        else:
            oid = ids.get(ref)
            if oid is not None:
                cancel(oid)
    return book


def deep_replay_events(mod, resting=50_000, n=200_000, seed=5):
    """The deep replay profile, as two OrderBook.replay arrays: `resting` adds that fill some 40
    levels a side (the setup), then `n` events that keep the book at that size: a fifth new
    orders, a fifth cancels of random resting orders and three fifths amendments of random
    resting orders (half lower the quantity in place, half move the order to another of the 40
    levels). Nothing crosses, so every event applies: long queues, touched at random places."""
    import numpy as np
    rng = random.Random(seed)
    B = mod.OrderBook
    live, rows, setup = [], [], []

    def price(side):
        return 9_999 - rng.randrange(40) if side == 0 else 10_001 + rng.randrange(40)

    def add(into):
        side = rng.randrange(2)
        order = [len(setup) + len(rows), side, price(side), float(rng.randrange(1, 11))]
        live.append(order)
        into.append((B.ADD, *order[1:], order[0]))
    for _ in range(resting):
        add(setup)
    for _ in range(n):
        roll = rng.randrange(5)
        if roll == 0:
            add(rows)
            continue
        k = rng.randrange(len(live))
        ref, side, p, q = live[k]
        if roll == 1:
            live[k] = live[-1]
            live.pop()
            rows.append((B.CANCEL, 0, 0, 0.0, ref))
        elif roll == 2 and q > 1.0:
            live[k][3] = q - 1.0
            rows.append((B.AMEND, side, p, q - 1.0, ref))
        else:
            live[k][2] = price(side)
            rows.append((B.AMEND, side, live[k][2], q, ref))
    dtype = np.dtype(B.EVENT_FIELDS)
    return np.array(setup, dtype=dtype), np.array(rows, dtype=dtype)
