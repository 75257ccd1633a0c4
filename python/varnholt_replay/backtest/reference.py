"""A plain-Python backtest that walks every event: the yardstick of the tests and the benchmark.

It keeps its own book of the history, level by level, with the own orders standing in the
levels' queues as markers at the place they took; every execution looks at what stands ahead
of the order it hit.  Nothing here is fast or clever: it is written to be obviously right, and
gives what :class:`~varnholt_replay.backtest.Backtest` gives (the same fills, acknowledgements
and calls), at the cost of Python work for every event.
"""

from __future__ import annotations

import heapq
import time as clock
from bisect import bisect_left, bisect_right, insort
from collections.abc import Sequence

import numpy as np
from varnholt import OrderBook

from .. import book as bk
from .engine import ACK, FILL, OWN_FILL_FIELDS, START, TIMER, TOUCH, Ack, Known, Outcome, Strategy
from .latency import Latency

_STAGE_ARRIVE, _STAGE_CALL = 1, 2


class _Marker:
    """An own order standing in a level's queue."""

    def __init__(self, variant: int, order: int, side: int, price: int, quantity: float) -> None:
        self.variant, self.id, self.side, self.price, self.remaining = variant, order, side, price, quantity
        self.open = True


class ReferenceContext:
    """The same view and actions as :class:`~varnholt_replay.backtest.Context`."""

    def __init__(self, run: _Run, variant: int) -> None:
        self._run, self.variant = run, variant
        self.time = self.reason = 0
        self.seen = -1
        self.fills: list[tuple] = []
        self.acks: list[Ack] = []
        self.orders: dict[int, Known] = {}
        self.position = self.cash = 0.0
        self.waiting_touch = False
        self.bid_band = self.ask_band = None
        self.timer = None
        self.woken_by_acks = True

    @property
    def best_bid(self):
        return self._run.bests[self.seen][0] if self.seen >= 0 else None

    @property
    def best_ask(self):
        return self._run.bests[self.seen][1] if self.seen >= 0 else None

    def buy(self, price_in_ticks, quantity, immediate=False):
        return self._run.send_new(self, bk.BUY, price_in_ticks, quantity, immediate)

    def sell(self, price_in_ticks, quantity, immediate=False):
        return self._run.send_new(self, bk.SELL, price_in_ticks, quantity, immediate)

    def amend(self, order, quantity=None, price_in_ticks=None):
        if quantity is not None and not quantity > 0:
            raise ValueError("quantity must be positive")
        self._run.send(self, "amend", (order, quantity, price_in_ticks))

    def cancel(self, order):
        self._run.send(self, "cancel", (order,))

    def wait(self, touch=None, bid_between=None, ask_between=None, until=None, acks=None):
        if touch is not None:
            self.waiting_touch = touch
        if acks is not None:
            self.woken_by_acks = acks
        self.bid_band, self.ask_band, self.timer = bid_between, ask_between, until


def run_reference(events: np.ndarray, strategies: Sequence[Strategy], latency: Latency = Latency(),
                  tick_size: float = bk.TICK_SIZE) -> list[Outcome]:
    """What a backtest of ``strategies`` over ``events`` gives, walking every event."""
    return _Run(events, strategies, latency, tick_size).go()


class _Run:
    def __init__(self, events, strategies, latency, tick_size):
        self.columns = tuple(events[name].tolist() for name in ("kind", "side", "price_in_ticks", "quantity", "ref",
                                                              "new_ref"))
        self.times = events["timestamp"].tolist()
        self.seen_at = latency.seen(np.asarray(events["timestamp"])).tolist()
        self.strategies, self.latency, self.tick_size = list(strategies), latency, tick_size
        self.orders = {}  # ref -> [side, price, quantity]
        self.levels = {}  # (side, price) -> list of refs and markers, in queue order
        self.volume = {}  # (side, price) -> the history's quantity there
        self.prices = ([], [])  # per side, ascending: the prices where history has volume
        self.marked = ({}, {})  # per side: price -> markers standing there
        self.bests = []  # per event applied: (best bid, best ask), each (price, quantity) or None
        self.contexts = [ReferenceContext(self, v) for v in range(len(strategies))]
        n = len(strategies)
        self.own = [dict() for _ in range(n)]  # order id -> marker
        self.taken = [dict() for _ in range(n)]  # ref -> lots taken
        self.fills = [[] for _ in range(n)]
        self.next_order = [1] * n
        self.actions, self.rejected, self.calls = [0] * n, [0] * n, [0] * n
        self.seconds = [0.0] * n
        self.version = [0] * n
        self.armed = [None] * n  # a variant waiting for a touch: since which event
        self.pending = []
        self.sequence = 0
        self.applied = 0
        self.end = self.seen_at[-1] if self.seen_at else 0

    def push(self, time, stage, variant, item):
        self.sequence += 1
        heapq.heappush(self.pending, (time, stage, variant, self.sequence, item))

    def go(self):
        if self.times:
            for v in range(len(self.strategies)):
                self.push(self.seen_at[0], _STAGE_CALL, v, ("call", START, 0, None))
        for k in range(len(self.times) + 1):
            limit = self.times[k] if k < len(self.times) else None
            while self.pending and (limit is None or self.pending[0][0] < limit):
                time, stage, v, _, item = heapq.heappop(self.pending)
                if item[0] == "arrive":
                    self.arrive(time, v, item[1], item[2])
                elif time <= self.end:
                    self.call(time, v, item)
            if k < len(self.times):
                self.apply(k)
        return [self.outcome(v) for v in range(len(self.strategies))]

    # the history

    def best(self, side):
        prices = self.prices[side]
        if not prices:
            return None
        price = prices[-1] if side == bk.BUY else prices[0]
        return price, self.volume[(side, price)]

    def change(self, side, price, quantity):
        key = (side, price)
        before = self.volume.get(key, 0.0)
        after = before + quantity
        if after > 0:
            self.volume[key] = after
            if before <= 0:
                insort(self.prices[side], price)
        else:
            del self.volume[key]
            del self.prices[side][bisect_left(self.prices[side], price)]

    def rest(self, ref, side, price, quantity):
        self.orders[ref] = [side, price, quantity]
        self.levels.setdefault((side, price), []).append(ref)
        self.change(side, price, quantity)

    def remove(self, ref):
        side, price, quantity = self.orders.pop(ref)
        self.levels[(side, price)].remove(ref)
        self.change(side, price, -quantity)

    def stand(self, marker):
        self.levels.setdefault((marker.side, marker.price), []).append(marker)
        self.marked[marker.side].setdefault(marker.price, []).append(marker)

    def leave(self, marker):
        self.levels[(marker.side, marker.price)].remove(marker)
        self.marked[marker.side][marker.price].remove(marker)

    def apply(self, k):
        kinds, sides, prices, quantities, refs, new_refs = self.columns
        kind, ref, quantity, time = kinds[k], refs[k], quantities[k], self.times[k]
        if kind == OrderBook.POST:
            self.rest(ref, sides[k], prices[k], quantity)
        elif ref in self.orders:
            side, price, held = self.orders[ref]
            if kind == OrderBook.EXECUTE:
                self.trade_through(k, time, side, price, ref, quantity)
            for taken in self.taken:
                if ref in taken:
                    left = taken[ref] - quantity
                    if kind in (OrderBook.EXECUTE, OrderBook.REDUCE) and left > 0:
                        taken[ref] = left
                    else:
                        del taken[ref]
            if kind in (OrderBook.EXECUTE, OrderBook.REDUCE) and held > quantity:
                self.orders[ref][2] = held - quantity
                self.change(side, price, -quantity)
            else:
                self.remove(ref)
            if kind == OrderBook.REPLACE:
                self.rest(new_refs[k], side, prices[k], quantity)
        self.bests.append((self.best(bk.BUY), self.best(bk.SELL)))
        self.applied = k + 1
        for v, since in enumerate(self.armed):
            if since is not None and self.wakes(v, k):
                self.armed[v] = None
                self.push(self.seen_at[k], _STAGE_CALL, v, ("call", TOUCH, self.version[v], None))

    def trade_through(self, k, time, side, price, ref, quantity):
        """An execution of ``ref``: every own order ahead of it (at a better price on its side, or
        ahead of it in its queue) shares its quantity, in priority order, per variant."""
        marked = self.marked[side]
        better = sorted((p for p in marked if (p > price if side == bk.BUY else p < price)), reverse=side == bk.BUY)
        ahead = [x for p in better for x in marked[p]]
        queue = self.levels[(side, price)]
        ahead += [x for x in queue[:queue.index(ref)] if isinstance(x, _Marker)]
        left = [quantity] * len(self.strategies)
        for marker in ahead:
            lots = min(marker.remaining, left[marker.variant])
            if lots > 0:
                left[marker.variant] -= lots
                self.fill(marker, marker.price, lots, time, k, False)

    def fill(self, marker, price, lots, time, event, aggressive):
        marker.remaining -= lots
        if marker.remaining <= 0:
            marker.open = False
            self.leave(marker)
        fill = (marker.id, marker.side, price, lots, time, event, aggressive)
        self.fills[marker.variant].append(fill)
        known = Known(marker.side, marker.price, marker.remaining, marker.open, time)
        self.push(time + self.latency.response_at("fill", time), _STAGE_CALL, marker.variant,
                  ("call", FILL, 0, (fill, known)))

    # the strategies

    def wakes(self, v, k):
        c = self.contexts[v]
        before = self.bests[k - 1] if k else (None, None)
        if c.waiting_touch and self.bests[k] != before:
            return True
        for band, best in ((c.bid_band, self.bests[k][0]), (c.ask_band, self.bests[k][1])):
            if band is not None and (best is None or not band[0] <= best[0] <= band[1]):
                return True
        return False

    def call(self, time, v, item):
        _, reason, version, report = item
        if reason & (TOUCH | TIMER) and version != self.version[v]:
            return
        c = self.contexts[v]
        self.report(c, reason, report)
        if reason == ACK and not c.woken_by_acks:
            return
        while self.pending and self.pending[0][0] == time and self.pending[0][1] == _STAGE_CALL \
                and self.pending[0][2] == v:
            _, _, _, _, (_, more, more_version, more_report) = heapq.heappop(self.pending)
            if more & (TOUCH | TIMER) and more_version != self.version[v]:
                continue
            if more != ACK or c.woken_by_acks:
                reason |= more
            self.report(c, more, more_report)
        c.time, c.reason = time, reason
        c.seen = bisect_right(self.seen_at, time) - 1
        if reason & TIMER:
            c.timer = None
        self.calls[v] += 1
        started = clock.perf_counter()
        self.strategies[v](c)
        self.seconds[v] += clock.perf_counter() - started
        c.fills, c.acks = [], []
        self.version[v] += 1
        self.armed[v] = None
        wake = next((j for j in range(c.seen + 1, self.applied) if self.wakes(v, j)), None)
        touch_time = self.seen_at[wake] if wake is not None else None
        if c.timer is not None and (touch_time is None or c.timer <= touch_time):
            both = TOUCH if touch_time == c.timer else 0
            self.push(max(c.timer, time), _STAGE_CALL, v, ("call", TIMER | both, self.version[v], None))
        elif touch_time is not None:
            self.push(touch_time, _STAGE_CALL, v, ("call", TOUCH, self.version[v], None))
        if touch_time is None and (c.waiting_touch or c.bid_band is not None or c.ask_band is not None):
            self.armed[v] = c.seen

    def report(self, c, reason, report):
        if reason == FILL:
            fill, known = report
            c.fills.append(fill)
            signed = fill[3] if fill[1] == bk.BUY else -fill[3]
            c.position += signed
            c.cash -= signed * fill[2] * self.tick_size
            self.know(c, fill[0], known)
        elif reason == ACK:
            ack, known = report
            c.acks.append(ack)
            self.know(c, ack.order, known)

    @staticmethod
    def know(c, order, known):
        before = c.orders.get(order)
        if before is None or before.as_of <= known.as_of:
            c.orders[order] = known

    def send_new(self, c, side, price, quantity, immediate):
        if not (price > 0 and quantity > 0 and np.isfinite(quantity)):
            raise ValueError("an own order needs a positive price and a positive, finite quantity")
        order = self.next_order[c.variant]
        self.next_order[c.variant] += 1
        c.orders[order] = Known(side, int(price), float(quantity), True, -1)
        self.send(c, "new", (order, side, int(price), float(quantity), immediate))
        return order

    def send(self, c, kind, action):
        v = c.variant
        if kind != "new" and action[0] not in c.orders:
            raise ValueError(f"no own order {action[0]} in this variant")
        self.actions[v] += 1
        latency = self.latency.entry_at(kind, c.time)
        if latency < 0:
            self.rejected[v] += 1
            arrival = c.time - latency
            known = c.orders[action[0]]
            if kind == "new":
                known = known._replace(open=False, as_of=arrival)
            self.respond(v, kind, arrival, Ack(kind, action[0], False, arrival), known)
            return
        self.push(c.time + latency, _STAGE_ARRIVE, v, ("arrive", kind, action))

    def respond(self, v, kind, time, ack, known):
        self.push(time + self.latency.response_at(kind, time), _STAGE_CALL, v, ("call", ACK, 0, (ack, known)))

    # the exchange

    def arrive(self, time, v, kind, action):
        if kind == "new":
            order, side, price, quantity, immediate = action
            marker = _Marker(v, order, side, price, quantity)
            self.own[v][order] = marker
            self.enter(marker, time, immediate)
        else:
            marker = self.own[v].get(action[0])
            if marker is None or not marker.open:
                self.rejected[v] += 1
                known = self.contexts[v].orders[action[0]] if marker is None else self.known(marker, time)
                self.respond(v, kind, time, Ack(kind, action[0], False, time), known)
                return
            if kind == "cancel":
                self.leave(marker)
                marker.open = False
            else:
                _, quantity, price = action
                price = marker.price if price is None else int(price)
                quantity = marker.remaining if quantity is None else float(quantity)
                if price == marker.price and quantity <= marker.remaining:
                    marker.remaining = quantity  # where it stands
                else:
                    self.leave(marker)
                    marker.price, marker.remaining = price, quantity
                    self.enter(marker, time, False)
        self.respond(v, kind, time, Ack(kind, marker.id, True, time), self.known(marker, time))

    @staticmethod
    def known(marker, time):
        return Known(marker.side, marker.price, marker.remaining, marker.open, time)

    def enter(self, marker, time, immediate):
        opposite = bk.SELL if marker.side == bk.BUY else bk.BUY
        prices = self.prices[opposite][::-1] if opposite == bk.BUY else list(self.prices[opposite])
        taken = self.taken[marker.variant]
        for price in prices:
            if (price > marker.price) if marker.side == bk.BUY else (price < marker.price):
                break
            for x in self.levels[(opposite, price)]:
                if isinstance(x, _Marker) or marker.remaining <= 0:
                    continue
                lots = min(self.orders[x][2] - taken.get(x, 0.0), marker.remaining)
                if lots > 0:
                    taken[x] = taken.get(x, 0.0) + lots
                    marker.remaining -= lots
                    fill = (marker.id, marker.side, price, lots, time, self.applied, True)
                    self.fills[marker.variant].append(fill)
                    known = Known(marker.side, marker.price, marker.remaining, marker.remaining > 0 and not immediate,
                                  time)
                    self.push(time + self.latency.response_at("fill", time), _STAGE_CALL, marker.variant,
                              ("call", FILL, 0, (fill, known)))
        if immediate or marker.remaining <= 0:
            marker.open = False
        else:
            self.stand(marker)

    def outcome(self, v):
        fills = np.array(self.fills[v], dtype=OWN_FILL_FIELDS)
        position = cash = 0.0
        for _, side, price, lots, *_ in self.fills[v]:
            signed = lots if side == bk.BUY else -lots
            position += signed
            cash -= signed * price * self.tick_size
        mid = 0.0
        if self.bests and self.bests[-1][0] and self.bests[-1][1]:
            mid = (self.bests[-1][0][0] + self.bests[-1][1][0]) / 2 * self.tick_size
        return Outcome(fills, position, cash, cash + position * mid, self.actions[v], self.rejected[v],
                       self.calls[v], self.seconds[v])
