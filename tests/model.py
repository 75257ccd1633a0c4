"""Reference model of the order book, used as an oracle by the property tests.

Deliberately plain: price levels are dicts from price in ticks to Python lists
(front of the list = oldest order), sorted whenever an ordering is needed.
Floating-point work is done with Python floats (IEEE doubles), in the same
order of operations as the extension, so results can be compared bit for bit.
"""
import math
import struct
from decimal import Decimal
from fractions import Fraction

BUY, SELL = 0, 1
OPEN, FILLED, CANCELED = 0, 1, 2
# Self-trade policies (OrderBook.STP_*), and the reference no order has (OrderBook.NO_REF).
STP_OFF, STP_CANCEL_RESTING, STP_CANCEL_INCOMING, STP_DECREMENT = 0, 1, 2, 3
NO_REF = 2**64 - 1
INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def shortest(x):
    """Shortest round-trip digits of a double, positional, no exponent."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(Decimal(repr(x)).normalize(), "f")


def fixed(x, decimals):
    """Exact binary value rounded to `decimals` places, ties to even."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return "%.*f" % (decimals, x)


class ModelOrder:
    __slots__ = ("id", "side", "price_in_ticks", "quantity", "status", "timestamp", "owner", "ref")

    def __init__(self, id, side, price_in_ticks, quantity, status=OPEN, timestamp=0, owner=0, ref=None):
        self.id = id
        self.side = side
        self.price_in_ticks = price_in_ticks
        self.quantity = float(quantity)
        self.status = status
        self.timestamp = timestamp
        self.owner = owner  # who entered it (0: nobody), for self-trade prevention
        self.ref = ref      # the caller's reference of a resting copy (add_as), or None

    @classmethod
    def of(cls, order):
        """Snapshot of any object carrying the order attributes (e.g. varnholt.Order)."""
        return cls(order.id, int(order.side), order.price_in_ticks, order.quantity,
                   int(order.status), order.timestamp)

    def copy(self):
        return ModelOrder(self.id, self.side, self.price_in_ticks, self.quantity,
                          self.status, self.timestamp, self.owner, self.ref)

    def is_open(self):
        return self.status == OPEN

    def text(self):
        side = "Buy" if self.side == BUY else "Sell"
        return "[%s %s @ %d] [%s, placed at %d]" % (
            side, shortest(self.quantity), self.price_in_ticks, self.id, self.timestamp)


def can_match(a, b):
    if a.side == b.side:
        return False
    buy, sell = (a, b) if a.side == BUY else (b, a)
    return buy.price_in_ticks >= sell.price_in_ticks


def _smaller(x, y):
    if math.isnan(x):
        return y
    if math.isnan(y):
        return x
    return x if x <= y else y


def fill(receiver, other, tick_size):
    """Fill `receiver` with `other` in place.

    Returns (quantity, price, buy_id, sell_id) or None when they cannot trade.
    The price is the receiver's price in ticks times the tick size; inside the
    book the receiver is always the resting order.
    """
    if not can_match(receiver, other):
        return None
    buy, sell = (receiver, other) if receiver.side == BUY else (other, receiver)
    q = _smaller(receiver.quantity, other.quantity)
    receiver.quantity = receiver.quantity - q
    other.quantity = other.quantity - q
    for o in (receiver, other):
        if o.quantity <= 0.0:
            o.status = FILLED
    return (q, float(receiver.price_in_ticks) * tick_size, buy.id, sell.id)


def _divide(a, b):
    try:
        return a / b
    except ZeroDivisionError:  # IEEE semantics where Python would raise
        if math.isnan(a) or a == 0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def price_to_ticks(price, tick_size):
    """One double division, round half away from zero (exactly), then
    saturate into signed 64 bits (NaN -> 0)."""
    q = _divide(price, tick_size)
    if math.isnan(q):
        return 0
    if q >= 2.0**63:
        return INT64_MAX
    if q < -(2.0**63):
        return INT64_MIN
    n = math.floor(abs(Fraction(q)) + Fraction(1, 2))  # exact rational arithmetic
    return n if q >= 0 else -n


class ModelBook:
    def __init__(self, tick_size=0.01):
        self.tick_size = float(tick_size)
        self.orders = {}  # id -> last recorded copy
        self.from_caller = set()  # ids whose value update_order recorded (cancel looks only there)
        self.bids = {}    # price in ticks -> [ModelOrder, ...], oldest first
        self.asks = {}
        self.self_trade = STP_OFF
        # The owner of each id, as the book keeps it: one per id, set when one of its orders rests
        # or an add ends (the copies of an id share it).
        self.owners = {}

    def _levels(self, side):
        return self.bids if side == BUY else self.asks

    # registry ----------------------------------------------------------
    def _record(self, order):
        self.orders[order.id] = order.copy()
        self.from_caller.discard(order.id)

    def update_order(self, order):
        self._record(order)
        self.from_caller.add(order.id)

    def _rests(self, order_id):
        return any(o.id == order_id for levels in (self.bids, self.asks) for level in levels.values() for o in level)

    def get_order(self, order_id):
        o = self.orders.get(order_id)
        return None if o is None else o.copy()

    # matching ----------------------------------------------------------
    def _crossing_prices(self, incoming):
        """Prices of the opposite side that `incoming` may take, best first."""
        opposite = self._levels(SELL if incoming.side == BUY else BUY)
        if incoming.side == BUY:
            return opposite, [p for p in sorted(opposite) if p <= incoming.price_in_ticks]
        return opposite, [p for p in sorted(opposite, reverse=True) if p >= incoming.price_in_ticks]

    def _prevent(self, resting, incoming, level):
        """The self-trade rule between `incoming` and `resting` (just taken from the front of
        `level`) when they have one owner: whether it applied. Puts the resting order back when
        it stays; the incoming order is Canceled when the rule ends it."""
        own = incoming.owner
        if self.self_trade == STP_OFF or own == 0 or self.owners.get(resting.id, 0) != own:
            return False
        if self.self_trade == STP_CANCEL_INCOMING:
            level.insert(0, resting)
            incoming.status = CANCELED
            return True
        if self.self_trade == STP_DECREMENT:
            q = resting.quantity if resting.quantity <= incoming.quantity else incoming.quantity
            resting.quantity = resting.quantity - q
            incoming.quantity = incoming.quantity - q
            if incoming.quantity <= 0.0:
                incoming.status = CANCELED
            if resting.quantity > 0.0:
                level.insert(0, resting)
                self._record(resting)
                return True
        resting.status = CANCELED  # cancelled with what it had open (nothing after a decrement)
        if not self._rests(resting.id):
            self._record(resting)
        return True

    def _match(self, incoming):
        """Matches an open `incoming` against the opposite side in place; returns the fills."""
        fills = []
        opposite, prices = self._crossing_prices(incoming)
        for best in prices:
            level = opposite[best]
            while incoming.status == OPEN and level:
                resting = level.pop(0)
                if self._prevent(resting, incoming, level):
                    continue
                f = fill(resting, incoming, self.tick_size)
                if f is not None:
                    fills.append(f)
                if resting.status == OPEN:
                    level.insert(0, resting)
                self._record(resting)  # the incoming order is recorded once it is done
            if not level:
                del opposite[best]
            if incoming.status != OPEN:
                break
        return fills

    @staticmethod
    def _traded_enough(order, fills):
        """Whether the quantities of an immediate order's fills, summed in order from 0.0, reach
        its quantity: the sweep then fills it, whatever rounding left open."""
        traded = 0.0
        for f in fills:
            traded = traded + f[0]
        return traded >= order.quantity

    def _fills_completely(self, incoming):
        """Whether matching `incoming` would fill it completely (tried on a copy of the book)."""
        trial = incoming.copy()
        book = ModelBook(self.tick_size)
        book.self_trade, book.owners, book.orders = self.self_trade, dict(self.owners), dict(self.orders)
        book.bids = {p: [o.copy() for o in level] for p, level in self.bids.items()}
        book.asks = {p: [o.copy() for o in level] for p, level in self.asks.items()}
        fills = book._match(trial)
        return trial.status == FILLED or self._traded_enough(incoming, fills)

    def _rest(self, order):
        self._levels(order.side).setdefault(order.price_in_ticks, []).append(order.copy())
        self.owners[order.id] = order.owner

    def add(self, order, owner=0, ref=None):
        incoming = order.copy()
        incoming.owner, incoming.ref = owner, ref
        if not math.isfinite(incoming.quantity):
            raise ValueError("quantity must be a finite number")
        fills = []
        if incoming.status == OPEN:
            fills = self._match(incoming)
            if incoming.status == OPEN:
                self._rest(incoming)
        self._record(incoming)
        self.owners[incoming.id] = owner
        return fills

    def order_id(self, ref):
        found = [o.id for levels in (self.bids, self.asks) for level in levels.values() for o in level if o.ref == ref]
        return found[0] if found else None

    def add_as(self, order, ref, owner=0):
        if ref == NO_REF:
            raise ValueError("ref must not be NO_REF")
        if self.order_id(ref) is not None:
            raise ValueError("ref %d already names a resting order" % ref)
        if not math.isfinite(order.quantity):
            raise ValueError("quantity must be a finite number")
        return self.add(order, owner, ref)

    def take(self, order, all_or_none=False):
        incoming = order.copy()
        if not math.isfinite(incoming.quantity):
            raise ValueError("quantity must be a finite number")
        if all_or_none and (incoming.status != OPEN or not self._fills_completely(incoming)):
            return []
        wanted = incoming.copy()
        fills = self._match(incoming) if incoming.status == OPEN else []
        if incoming.status == OPEN and self._traded_enough(wanted, fills):
            incoming.quantity, incoming.status = 0.0, FILLED
        if incoming.status == OPEN:
            incoming.status = CANCELED
        if not self._rests(incoming.id):  # else the registry's value stays that of the resting copies
            self._record(incoming)
            self.owners[incoming.id] = incoming.owner
        return fills

    def _first_copy(self, order_id):
        """(side's levels, price, index) of the first resting copy of `order_id`: its only copy;
        of several, the first at the recorded price, else the first in listing order."""
        copies = [(levels, price, i) for levels in (self.bids, self.asks) for price in sorted(levels)
                  for i, o in enumerate(levels[price]) if o.id == order_id]
        known = self.orders.get(order_id)
        if len(copies) > 1 and known is not None:
            levels = self._levels(known.side)
            for i, o in enumerate(levels.get(known.price_in_ticks, [])):
                if o.id == order_id:
                    return levels, known.price_in_ticks, i
        return copies[0] if copies else None

    def amend(self, order_id, quantity=None, price_in_ticks=None, timestamp=0):
        """`timestamp` is the new timestamp an order gets when it enters again."""
        if price_in_ticks is not None and price_in_ticks <= 0:
            raise ValueError("price_in_ticks must be positive")
        if quantity is not None:
            if quantity <= 0:
                raise ValueError("quantity must be positive")
            if not math.isfinite(quantity):
                raise ValueError("quantity must be a finite number")
        place = self._first_copy(order_id)
        if place is None:
            return None
        if quantity is None and price_in_ticks is None:
            return []
        levels, price, i = place
        current = levels[price][i]
        new_price = current.price_in_ticks if price_in_ticks is None else price_in_ticks
        new_quantity = current.quantity if quantity is None else float(quantity)
        if new_price == current.price_in_ticks and new_quantity <= current.quantity:
            current.quantity = new_quantity
            self._record(current)
            return []
        del levels[price][i]
        if not levels[price]:
            del levels[price]
        moved = current.copy()
        moved.price_in_ticks, moved.quantity, moved.timestamp = new_price, new_quantity, timestamp
        moved.owner = self.owners.get(order_id, 0)
        fills = self._match(moved)
        if moved.status == OPEN:
            self._rest(moved)
        self._record(moved)
        return fills

    def forget_filled(self):
        filled = [order_id for order_id, o in self.orders.items() if o.status == FILLED and not self._rests(order_id)]
        for order_id in filled:
            del self.orders[order_id]
        return len(filled)

    def cancel(self, order_id):
        known = self.orders.get(order_id)
        if known is None:
            return False
        if order_id in self.from_caller:  # only the level of the recorded value
            places = [(self._levels(known.side), known.price_in_ticks)]
        else:  # every copy, wherever it rests
            places = [(levels, price) for levels in (self.bids, self.asks) for price in list(levels)]
        for levels, price in places:
            level = levels.get(price)
            if level is not None:
                level[:] = [o for o in level if o.id != order_id]
                if not level:
                    del levels[price]
        del self.orders[order_id]
        self.from_caller.discard(order_id)
        return True

    # queries -----------------------------------------------------------
    @staticmethod
    def _listing(levels):
        return [o.copy() for price in sorted(levels) for o in levels[price]]

    def buy_orders(self):
        return self._listing(self.bids)

    def sell_orders(self):
        return self._listing(self.asks)

    def best_bid(self):
        if not self.bids:
            return None
        price = max(self.bids)
        return (price, self.bids[price][0].quantity)

    def best_ask(self):
        if not self.asks:
            return None
        price = min(self.asks)
        return (price, self.asks[price][0].quantity)

    @staticmethod
    def _volume(levels):
        total = -0.0
        for price in sorted(levels):
            for o in levels[price]:
                total = total + o.quantity
        return total

    @staticmethod
    def _level_summary(level):
        total = 0.0
        for o in level:
            total = total + o.quantity
        return total, len(level)

    def depth(self, levels=10):
        if levels < 0:
            raise OverflowError("can't convert negative int to unsigned")
        return ([(p, *self._level_summary(self.bids[p])) for p in sorted(self.bids, reverse=True)[:levels]],
                [(p, *self._level_summary(self.asks[p])) for p in sorted(self.asks)[:levels]])

    def volume_at(self, side, price_in_ticks):
        level = self._levels(side).get(price_in_ticks)
        return (0.0, 0) if level is None else self._level_summary(level)

    def queue_position(self, order_id):
        place = self._first_copy(order_id)
        if place is None:
            return None
        levels, price, i = place
        return self._level_summary(levels[price][:i])[::-1]

    def buy_volume(self):
        return self._volume(self.bids)

    def sell_volume(self):
        return self._volume(self.asks)

    def spread(self):
        if not self.bids or not self.asks:
            return None
        return float(min(self.asks) - max(self.bids)) * self.tick_size

    def create_order(self, side, price, quantity):
        """Validates like the book does; id and timestamp are left empty."""
        if price <= 0 or quantity <= 0:
            raise ValueError("Price and quantity must be positive")
        if not math.isfinite(quantity):
            raise ValueError("quantity must be a finite number")
        ticks = price_to_ticks(price, self.tick_size)
        if ticks <= 0:
            raise ValueError("Resulting price_in_ticks must be positive")
        return ModelOrder(None, side, ticks, quantity)

    # summary -----------------------------------------------------------
    def _level_text(self, best):
        if best is None:
            return "None"
        price, qty = best
        return "%s @ %s" % (fixed(qty, 2), shortest(float(price) * self.tick_size))

    def summary(self):
        spread = self.spread()
        return "Best Bid: %s, Best Ask: %s (Spread: %s)\nOpen Buy Volume: %s, Open Sell Volume: %s" % (
            self._level_text(self.best_bid()), self._level_text(self.best_ask()),
            "None" if spread is None else fixed(spread, 4),
            fixed(self.buy_volume(), 2), fixed(self.sell_volume(), 2))


def bits(x):
    """Bit-exact comparison key for a double (all NaNs compare alike)."""
    return "nan" if math.isnan(x) else struct.pack("<d", x)


# The replay's event kinds, statuses and reasons (OrderBook.ADD ..., APPLIED ..., REASON_* ...)
# and stop conditions (OrderBook.STOP_*).
ADD, CANCEL, AMEND, IOC, FOK, POST, EXECUTE, REDUCE, REPLACE = range(9)
APPLIED, REJECTED, UNKNOWN_REF = 0, 1, 2
(REASON_NONE, REASON_KIND, REASON_SIDE, REASON_QUANTITY, REASON_PRICE, REASON_LIVE_REF, REASON_NO_REF,
 REASON_EXCEEDS) = range(8)
STOP_FILL, STOP_TOUCH, STOP_QUEUE, STOP_TIME = 1, 2, 4, 8


class FeedModel:
    """Replay in plain Python, every kind in the feed layout: each side maps a price to its queue
    of resting orders [ref, quantity, owner, serial], front first (the serial tells a new order
    under an old reference apart). Quantities are worked in the book's order of operations, so
    results compare bit for bit. Besides the results, it says what the stop conditions see: the
    touch and the place of an order in its queue."""

    def __init__(self, self_trade=STP_OFF):
        self.sides, self.where = ({}, {}), {}   # where: ref -> side of its resting order
        self.self_trade, self.serial = self_trade, 0

    def find(self, ref):
        side = self.where.get(ref)
        if side is None:
            return None
        for price, queue in self.sides[side].items():
            for place, order in enumerate(queue):
                if order[0] == ref:
                    return side, price, queue, place
        raise AssertionError("a live reference without its order")

    def rest(self, side, price, quantity, ref, owner):
        self.serial += 1
        self.sides[side].setdefault(price, []).append([ref, quantity, owner, self.serial])
        self.where[ref] = side

    def take_out(self, side, price, queue, place):
        del self.where[queue.pop(place)[0]]
        if not queue:
            del self.sides[side][price]

    def sweep(self, index, side, price, quantity, ref, time, owner):
        """Trades an incoming order against the opposite side; returns what is left, the fills and
        whether the self-trade rule ended it."""
        opposite, fills = self.sides[1 - side], []
        for level in sorted(opposite, reverse=side == SELL):
            if quantity <= 0 or (level > price if side == BUY else level < price):
                break
            queue = opposite[level]
            while queue and quantity > 0:
                resting = queue[0]
                if self.self_trade != STP_OFF and owner != 0 and resting[2] == owner:
                    if self.self_trade == STP_CANCEL_INCOMING:
                        return quantity, fills, True
                    if self.self_trade == STP_DECREMENT:
                        smaller = resting[1] if resting[1] <= quantity else quantity
                        resting[1] -= smaller
                        quantity -= smaller
                        if resting[1] <= 0:
                            self.take_out(1 - side, level, queue, 0)
                        if quantity <= 0:
                            return quantity, fills, True
                        continue
                    self.take_out(1 - side, level, queue, 0)
                    continue
                traded = resting[1] if resting[1] <= quantity else quantity
                fills.append((index, resting[0], ref, level, bits(traded), time))
                quantity -= traded
                resting[1] -= traded
                if resting[1] <= 0:
                    self.take_out(1 - side, level, queue, 0)
        return quantity, fills, False

    def copy(self):
        twin = FeedModel(self.self_trade)
        twin.sides = tuple({p: [list(o) for o in q] for p, q in side.items()} for side in self.sides)
        twin.where, twin.serial = dict(self.where), self.serial
        return twin

    def apply(self, index, kind, side, price, quantity, ref, new_ref, time, owner=0):
        good = quantity > 0 and math.isfinite(quantity)
        fault = REASON_QUANTITY if not good else REASON_PRICE if price <= 0 else None

        def done(side, price, left, fills=(), at_front=0):
            return (APPLIED, side, price, bits(left), len(fills), 0, at_front), list(fills)

        def refuse(reason):
            return (REJECTED, side, price, bits(quantity), 0, reason, 0), []

        if kind in (ADD, IOC, FOK, POST):
            fault = REASON_SIDE if side > 1 else fault or (
                REASON_NO_REF if ref == NO_REF else REASON_LIVE_REF if ref in self.where else None)
            if fault:
                return refuse(fault)
            if kind == POST:
                self.rest(side, price, quantity, ref, owner)
                return done(side, price, quantity)
            if kind == FOK:
                left, _, ended = self.copy().sweep(index, side, price, quantity, ref, time, owner)
                if left > 0 or ended:
                    return done(side, price, quantity)   # killed: nothing happens
            left, fills, ended = self.sweep(index, side, price, quantity, ref, time, owner)
            if kind == ADD and left > 0 and not ended:
                self.rest(side, price, left, ref, owner)
            return done(side, price, left, fills)
        if kind not in (CANCEL, AMEND, EXECUTE, REDUCE, REPLACE):
            return refuse(REASON_KIND)
        # Executions and reductions read no price; a cancel reads neither price nor quantity.
        if kind in (EXECUTE, REDUCE) and fault == REASON_PRICE or kind == CANCEL:
            fault = None
        if kind == REPLACE and not fault and new_ref == NO_REF:
            fault = REASON_NO_REF
        if fault:
            return refuse(fault)
        found = self.find(ref)
        if found is None:
            return (UNKNOWN_REF, side, price, bits(quantity), 0, 0, 0), []
        at_side, at_price, queue, place = found
        order = queue[place]
        if kind == CANCEL:
            self.take_out(*found)
            return done(at_side, at_price, order[1])
        if kind == REPLACE:
            if new_ref != ref and new_ref in self.where:
                return refuse(REASON_LIVE_REF)
            self.take_out(*found)
            self.rest(at_side, price, quantity, new_ref, owner)
            return done(at_side, price, quantity)
        if kind == AMEND:
            if price == at_price and quantity <= order[1]:
                order[1] = quantity
                return done(at_side, at_price, quantity)
            self.take_out(*found)
            left, fills, ended = self.sweep(index, at_side, price, quantity, ref, time, order[2])
            if left > 0 and not ended:
                self.rest(at_side, price, left, ref, order[2])
            return done(at_side, at_price, left, fills)
        if quantity > order[1]:
            return refuse(REASON_EXCEEDS)
        order[1] -= quantity
        if order[1] <= 0:
            self.take_out(*found)
        fills = [(index, ref, NO_REF, at_price, bits(quantity), time)] if kind == EXECUTE else []
        return done(at_side, at_price, order[1], fills, int(place == 0 and kind == EXECUTE))

    def book(self):
        return [(ref, side, price, quantity) for side in (BUY, SELL) for price in sorted(self.sides[side])
                for ref, quantity, *_ in self.sides[side][price]]

    # What the stop conditions look at ------------------------------------
    def touch(self):
        """(price, total quantity) of the best bid and of the best ask, None for an empty side; the
        total summed from 0.0 in queue order."""
        best = []
        for side in (BUY, SELL):
            levels = self.sides[side]
            if not levels:
                best.append(None)
                continue
            price = max(levels) if side == BUY else min(levels)
            total = 0.0
            for order in levels[price]:
                total = total + order[1]
            best.append((price, total))
        return tuple(best)

    def place(self, ref):
        """Where the order under `ref` stands: (side, price, serial, orders ahead, quantity ahead
        summed from 0.0), or None."""
        found = self.find(ref)
        if found is None:
            return None
        side, price, queue, place = found
        ahead = 0.0
        for order in queue[:place]:
            ahead = ahead + order[1]
        return side, price, queue[place][3], place, ahead

    def conditions(self, before, fills, watch, queue):
        """The STOP_* bits an event met, given the touch and places before it (see observe) and
        its fills; updates `before` to what they are now."""
        now = self.observe(queue)
        met = STOP_FILL if any(f[1] in watch or f[2] in watch for f in fills) else 0
        met |= STOP_TOUCH if now[0] != before[0] else 0
        met |= STOP_QUEUE if now[1] != before[1] else 0
        before[:] = now
        return met

    def observe(self, queue):
        return [self.touch(), [self.place(ref) for ref in queue]]
