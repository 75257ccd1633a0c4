"""Pure-Python limit order book with the same interface and results as varnholt.

The reference point of the benchmarks, written for speed the way a careful
Python developer would: sortedcontainers for the price levels, deques for the
FIFO queues, slotted records, uuid4 ids, a dict registry.  Sides and statuses
are plain ints (``OrderType.Buy == 0``), so ``int(order.side)`` works the same
on both implementations.
"""
from collections import deque
from decimal import Decimal
from math import copysign, floor, inf, isfinite, nan
from time import time_ns
from uuid import uuid4

from sortedcontainers import SortedDict

__all__ = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]


class OrderType:
    Buy = 0
    Sell = 1


class OrderStatus:
    Open = 0
    Filled = 1
    Canceled = 2


BUY, SELL = OrderType.Buy, OrderType.Sell
OPEN, FILLED, CANCELED = OrderStatus.Open, OrderStatus.Filled, OrderStatus.Canceled
_INT64_MAX, _INT64_MIN, _TWO_63 = 2**63 - 1, -(2**63), 2.0**63


def _shortest(x):
    """Fewest digits that read back as x, positional, no '.0' on whole numbers."""
    if x != x:
        return "NaN"
    r = repr(x)
    if "e" in r:
        return format(Decimal(r), "f")
    return r[:-2] if r.endswith(".0") else r


def _fixed(x, places):
    """Exact binary value rounded half-even to `places` decimals."""
    return "NaN" if x != x else format(x, f".{places}f")


def _volume(side):
    """Left-to-right sum from -0.0, ascending price then queue order.  (Not
    sum(): from Python 3.12 on it compensates rounding and gives another total.)"""
    total = -0.0
    for level in side.values():
        for o in level:
            total += o.quantity
    return total


def _level(level):
    """(quantity summed in queue order from 0.0, orders) of one level."""
    total = 0.0
    for o in level:
        total += o.quantity
    return total, len(level)


def _ticks(price, tick_size):
    """price / tick_size rounded half away from zero, saturated to int64."""
    try:
        q = price / tick_size
    except ZeroDivisionError:
        q = nan if price != price else copysign(inf, price) * copysign(1.0, tick_size)
    if q != q:
        return 0
    if q >= _TWO_63:
        return _INT64_MAX
    if q < -_TWO_63:
        return _INT64_MIN
    a = abs(q)
    r = floor(a)
    if a - r >= 0.5:
        r += 1
    return r if q >= 0.0 else -r


class Order:
    __slots__ = ("id", "side", "price_in_ticks", "quantity", "status", "timestamp")

    def __init__(self, side, price_in_ticks, quantity):
        if price_in_ticks <= 0:
            raise ValueError("price_in_ticks must be positive")
        if quantity <= 0.0:
            raise ValueError("quantity must be positive")
        self.id = str(uuid4())
        self.side = side
        self.price_in_ticks = price_in_ticks
        self.quantity = float(quantity)
        self.status = OPEN
        self.timestamp = time_ns()

    def _copy(self):
        c = _new(Order)
        c.id = self.id
        c.side = self.side
        c.price_in_ticks = self.price_in_ticks
        c.quantity = self.quantity
        c.status = self.status
        c.timestamp = self.timestamp
        return c

    def is_open(self):
        return self.status == OPEN

    def can_match(self, other):
        if self.side == other.side:
            return False
        buy, sell = (self, other) if self.side == BUY else (other, self)
        return buy.price_in_ticks >= sell.price_in_ticks

    def fill(self, incoming, tick_size):
        if self is incoming:
            raise RuntimeError("Already borrowed")
        if not self.can_match(incoming):
            return None
        a, b = self.quantity, incoming.quantity
        q = b if (a != a or b < a) else a  # the smaller; a NaN loses to a number
        self.quantity = a - q
        incoming.quantity = b - q
        if self.quantity <= 0.0:
            self.status = FILLED
        if incoming.quantity <= 0.0:
            incoming.status = FILLED
        buy, sell = (self, incoming) if self.side == BUY else (incoming, self)
        # The receiver plays the resting order: the trade takes its price.
        return Fill(q, self.price_in_ticks * tick_size, buy.id, sell.id, time_ns())

    def __repr__(self):
        side = "Buy" if self.side == BUY else "Sell"
        return (f"[{side} {_shortest(self.quantity)} @ {self.price_in_ticks}] "
                f"[{self.id}, placed at {self.timestamp}]")


_new = object.__new__


class Fill:
    __slots__ = ("quantity", "price", "buy_id", "sell_id", "timestamp")

    def __init__(self, quantity, price, buy_id, sell_id, timestamp):
        self.quantity = quantity
        self.price = price
        self.buy_id = buy_id
        self.sell_id = sell_id
        self.timestamp = timestamp

    def __repr__(self):
        return (f"[{_fixed(self.quantity, 2)} @ {_fixed(self.price, 2)}] Buy: {self.buy_id}, "
                f"Sell: {self.sell_id}, Filled at {self.timestamp}")


class OrderBook:
    """Price levels keyed by ticks (SortedDict of deques) plus an id registry.

    The registry normally holds the very object that rests in a level, so
    matching updates both at once.  Ids recorded more than once (an id added
    again, or update_order) go to `_unshared`, and cancel treats them with a
    full pass over the level instead of removing the one shared object.
    """

    __slots__ = ("tick_size", "_orders", "_bids", "_asks", "_unshared")

    def __init__(self, tick_size=0.01):
        self.tick_size = float(tick_size)
        self._orders = {}
        self._bids = SortedDict()
        self._asks = SortedDict()
        self._unshared = set()

    def add(self, incoming_order):
        return self._enter(incoming_order, rest=True)

    def take(self, order, all_or_none=False):
        if all_or_none and isfinite(order.quantity) and not self._fills_completely(order):
            return []
        return self._enter(order, rest=False)

    def _fills_completely(self, order):
        if order.status != OPEN:
            return False
        buy = order.side == BUY
        book, limit, left = (self._asks, order.price_in_ticks, order.quantity)
        prices = book.irange(maximum=limit) if buy else book.irange(minimum=limit, reverse=True)
        for lp in prices:
            for r in book[lp]:
                left -= r.quantity if r.quantity < left else left
                if left <= 0.0:
                    return True
        return False

    def _enter(self, incoming_order, rest):
        if not isfinite(incoming_order.quantity):
            raise ValueError("quantity must be a finite number")
        inc = incoming_order._copy()
        oid = inc.id
        orders = self._orders
        if oid in orders:
            self._unshared.add(oid)
        fills = []
        if inc.status == OPEN:
            limit, q, tick = inc.price_in_ticks, inc.quantity, self.tick_size
            buy = inc.side == BUY
            book, best, own = (self._asks, 0, self._bids) if buy else (self._bids, -1, self._asks)
            while book:
                lp, level = book.peekitem(best)
                if (lp > limit) if buy else (lp < limit):
                    break
                price = lp * tick  # fills execute at the resting order's price
                while level:
                    r = level[0]
                    rq = r.quantity
                    if rq <= q:
                        fq = rq
                        r.quantity = rq - rq
                        r.status = FILLED
                        level.popleft()
                        q -= rq
                    else:
                        fq = q
                        r.quantity = rq - q
                        q -= q
                    orders[r.id] = r
                    if buy:
                        fills.append(Fill(fq, price, oid, r.id, time_ns()))
                    else:
                        fills.append(Fill(fq, price, r.id, oid, time_ns()))
                    if q <= 0.0:
                        break
                if not level:
                    del book[lp]
                if q <= 0.0:
                    break
            inc.quantity = q
            if q <= 0.0:
                inc.status = FILLED
            elif not rest:
                inc.status = CANCELED  # an immediate order's remainder is dropped
            else:
                level = own.get(limit)
                if level is None:
                    own[limit] = deque((inc,))
                else:
                    level.append(inc)
        orders[oid] = inc
        return fills

    def cancel(self, order_id):
        o = self._orders.pop(order_id, None)
        if o is None:
            return False
        side = self._bids if o.side == BUY else self._asks
        p = o.price_in_ticks
        level = side.get(p)
        if level is not None:
            if order_id not in self._unshared:
                if o.status == OPEN:  # o itself is the one resting copy
                    level.remove(o)
            else:
                kept = [x for x in level if x.id != order_id]
                level.clear()
                level.extend(kept)
            if not level:
                del side[p]
        return True

    def _resting(self, order_id):
        """The registry's order if it rests, with its level."""
        o = self._orders.get(order_id)
        if o is None or o.status != OPEN:
            return None, None
        level = (self._bids if o.side == BUY else self._asks).get(o.price_in_ticks)
        if level is None or order_id in self._unshared and not any(x.id == order_id for x in level):
            return None, None
        return o, level

    def depth(self, levels=10):
        if levels < 0:
            raise OverflowError("can't convert negative int to unsigned")
        bids = self._bids
        top = bids.keys()[-levels:] if levels else []
        return ([(p, *_level(bids[p])) for p in reversed(top)],
                [(p, *_level(self._asks[p])) for p in self._asks.keys()[:levels]])

    def volume_at(self, side, price_in_ticks):
        level = (self._bids if side == BUY else self._asks).get(price_in_ticks)
        return (0.0, 0) if level is None else _level(level)

    def queue_position(self, order_id):
        o, level = self._resting(order_id)
        if o is None:
            return None
        ahead, total = 0, 0.0
        for x in level:
            if x is o or x.id == order_id:
                return ahead, total
            ahead += 1
            total += x.quantity
        return None

    def amend(self, order_id, quantity=None, price_in_ticks=None):
        if price_in_ticks is not None and price_in_ticks <= 0:
            raise ValueError("price_in_ticks must be positive")
        if quantity is not None:
            if quantity <= 0.0:
                raise ValueError("quantity must be positive")
            if not isfinite(quantity):
                raise ValueError("quantity must be a finite number")
        o, level = self._resting(order_id)
        if o is None:
            return None
        if quantity is None and price_in_ticks is None:
            return []
        new_price = o.price_in_ticks if price_in_ticks is None else price_in_ticks
        new_quantity = o.quantity if quantity is None else float(quantity)
        if new_price == o.price_in_ticks and new_quantity <= o.quantity and order_id not in self._unshared:
            o.quantity = new_quantity  # in place: the registry holds the resting object itself
            return []
        self.cancel(order_id)
        moved = o._copy()
        moved.price_in_ticks, moved.quantity, moved.timestamp = new_price, new_quantity, time_ns()
        return self.add(moved)

    def forget_filled(self):
        filled = [k for k, o in self._orders.items() if o.status == FILLED]
        for k in filled:
            del self._orders[k]
        return len(filled)

    def get_order(self, order_id):
        o = self._orders.get(order_id)
        return None if o is None else o._copy()

    def update_order(self, order):
        self._orders[order.id] = order._copy()
        self._unshared.add(order.id)

    @property
    def buy_orders(self):
        return [o._copy() for level in self._bids.values() for o in level]

    @property
    def sell_orders(self):
        return [o._copy() for level in self._asks.values() for o in level]

    def create_order(self, side, price, quantity):
        price, quantity = float(price), float(quantity)
        if price <= 0.0 or quantity <= 0.0:
            raise ValueError("Price and quantity must be positive")
        if not isfinite(quantity):
            raise ValueError("quantity must be a finite number")
        ticks = _ticks(price, self.tick_size)
        if ticks <= 0:
            raise ValueError("Resulting price_in_ticks must be positive")
        return Order(side, ticks, quantity)

    def best_bid(self):
        if not self._bids:
            return None
        p, level = self._bids.peekitem(-1)
        return (p, level[0].quantity)

    def best_ask(self):
        if not self._asks:
            return None
        p, level = self._asks.peekitem(0)
        return (p, level[0].quantity)

    def buy_volume(self):
        return _volume(self._bids)

    def sell_volume(self):
        return _volume(self._asks)

    def spread(self):
        if not self._bids or not self._asks:
            return None
        return float(self._asks.peekitem(0)[0] - self._bids.peekitem(-1)[0]) * self.tick_size

    def __repr__(self):
        t = self.tick_size
        bids, asks = self._bids, self._asks
        bid = ask = spread = "None"
        if bids:
            bp, level = bids.peekitem(-1)
            bid = f"{_fixed(level[0].quantity, 2)} @ {_shortest(bp * t)}"
        if asks:
            ap, level = asks.peekitem(0)
            ask = f"{_fixed(level[0].quantity, 2)} @ {_shortest(ap * t)}"
        if bids and asks:
            spread = _fixed(float(ap - bp) * t, 4)
        return (f"Best Bid: {bid}, Best Ask: {ask} (Spread: {spread})\n"
                f"Open Buy Volume: {_fixed(_volume(bids), 2)}, "
                f"Open Sell Volume: {_fixed(_volume(asks), 2)}")
