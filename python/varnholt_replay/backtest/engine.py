"""The backtest itself: strategy variants that place own orders into a recorded history without
changing it, with latency, all variants in one pass over one replay of the history.

Own orders never enter the replay book.  Where an own order stands is an event index: an order
that reached the exchange between events ``a - 1`` and ``a`` is ahead of every historical order
that entered its level from event ``a`` on, and behind every order there before (and every order
at a better price).  History's executions say the rest: an execution of an order behind an own
order traded through the own order's place, and fills it (see :class:`Backtest`).
"""

from __future__ import annotations

import copy
import itertools
from bisect import bisect_left, bisect_right
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from heapq import heappop, heappush
from time import perf_counter
from typing import NamedTuple

import numpy as np
from varnholt import OrderBook

from .. import book as bk
from .history import History
from .latency import Latency

START, TOUCH, FILL, ACK, TIMER = 1, 2, 4, 8, 16
"""Why a strategy is called (bits of ``Context.reason``)."""
_WOKEN = TOUCH | TIMER  # the reasons a wait gives, dropped when the strategy has waited anew since

OWN_FILL_FIELDS = [("order", np.int64), ("side", np.uint8), ("price_in_ticks", np.int64), ("quantity", np.float64),
                   ("timestamp", np.int64), ("event", np.int64), ("aggressive", np.bool_)]
"""One own fill: the own order, its side, the price it traded at, the quantity, the exchange's
time, the history event it traded at (for an aggressive fill, the first event after its arrival),
and whether the own order took liquidity."""

_TAKER_REF = OrderBook.NO_REF - 1  # the ref of the immediate order that probes a copy of the book
_FILL_STAGE, _ARRIVE_STAGE, _CALL_STAGE = 0, 1, 2  # at one time: history's fills, then arrivals, then calls
_EXECUTE = OrderBook.EXECUTE
_BUY = bk.BUY
_MOVES = np.zeros(256, dtype=bool)  # kinds that act on a resting order, the ones that can use up taken lots
_MOVES[[OrderBook.EXECUTE, OrderBook.REDUCE, OrderBook.CANCEL, OrderBook.REPLACE]] = True


class Known(NamedTuple):
    """An own order as the strategy knows it: from the last acknowledgement or fill that reached
    it (before the first, as it was sent)."""

    side: int
    price_in_ticks: int
    remaining: float
    open: bool
    as_of: int  # the exchange time of the report (-1: not acknowledged yet)


class Ack(NamedTuple):
    """The exchange's answer to an action: ``accepted`` False for a rejection (a negative entry
    latency, or an amendment or cancel of an order no longer open when it arrived)."""

    kind: str
    order: int
    accepted: bool
    timestamp: int  # the exchange's time (for a rejection by latency, when it would have arrived)


@dataclass(slots=True)
class _Own:
    """An own order at the exchange."""

    id: int
    side: int
    price: int
    remaining: float
    arrived: int  # its place: the index of the first history event after it joined its level
    entry: int = 0  # among the variant's own orders, when it joined (orders own orders of equal place)
    open: bool = True
    version: int = 0  # moves when the order's place changes, so that fills looked up before are dropped


@dataclass
class Outcome:
    """What one variant did over the whole history."""

    fills: np.ndarray  # OWN_FILL_FIELDS
    position: float
    cash: float  # in price units (ticks x tick size) x quantity: sales add, purchases subtract
    pnl: float  # cash + position at the last mid price
    actions: int
    rejected: int
    calls: int
    seconds: float  # spent in the strategy's own code


class Context:
    """One variant's view of the market and its means to act, handed to its strategy at each call.

    The market is seen through the feed latency: ``best_bid`` and ``best_ask`` are the top of the
    book after the last event the strategy has seen by ``time``.  Actions return the own order's
    id at once; they reach the exchange after the entry latency.
    """

    def __init__(self, engine: _Pass, variant: int) -> None:
        self._engine = engine
        self._variant: _Variant  # its state at the exchange, set by the engine
        self.variant = variant
        self.time = 0
        self.reason = 0
        self.seen = -1  # the index of the last event seen (-1: none yet)
        self.fills: list[tuple] = []  # own fills reported since the last call, OWN_FILL_FIELDS tuples
        self.acks: list[Ack] = []  # acknowledgements reported since the last call
        self.orders: dict[int, Known] = {}
        self.position = 0.0
        self.cash = 0.0  # in price units x quantity, as Outcome.cash
        self.waiting_touch = False
        self.bid_band: tuple[int, int] | None = None
        self.ask_band: tuple[int, int] | None = None
        self.timer: int | None = None
        self.woken_by_acks = True

    @property
    def best_bid(self) -> tuple[int, float] | None:
        """(price_in_ticks, quantity at that level) of the best bid seen, or None."""
        return self._engine.top(bk.BUY, self.seen)

    @property
    def best_ask(self) -> tuple[int, float] | None:
        return self._engine.top(bk.SELL, self.seen)

    def buy(self, price_in_ticks: int, quantity: float, immediate: bool = False) -> int:
        """A new own buy order (``immediate``: what does not trade at once is dropped)."""
        return self._engine.send_new(self, bk.BUY, price_in_ticks, quantity, immediate)

    def sell(self, price_in_ticks: int, quantity: float, immediate: bool = False) -> int:
        return self._engine.send_new(self, bk.SELL, price_in_ticks, quantity, immediate)

    def amend(self, order: int, quantity: float | None = None, price_in_ticks: int | None = None) -> None:
        """A new open quantity and/or price, as ``OrderBook.amend`` takes them."""
        if quantity is not None and not quantity > 0:
            raise ValueError("quantity must be positive")
        self._engine.send(self, "amend", (order, quantity, price_in_ticks))

    def cancel(self, order: int) -> None:
        self._engine.send(self, "cancel", (order,))

    def wait(self, touch: bool | None = None, bid_between: tuple[int, int] | None = None,
             ask_between: tuple[int, int] | None = None, until: int | None = None,
             acks: bool | None = None) -> None:
        """What to be called for next, besides own fills: ``touch``, any change of the best bid
        or ask (price or quantity); ``acks``, acknowledgements (by default; without, they are
        handed over at the next call); ``bid_between``/``ask_between``, the best bid or ask
        price leaving ``[low, high]`` (or the side emptying); ``until``, the strategy's clock
        reaching a time (once).  ``touch`` and ``acks`` are kept when not given; the bands and
        the time are set anew by each call; without one, the last conditions hold."""
        if touch is not None:
            self.waiting_touch = touch
        if acks is not None:
            self.woken_by_acks = acks
        self.bid_band, self.ask_band = bid_between, ask_between
        self.timer = until


Strategy = Callable[[Context], None]
"""A strategy: called with its variant's :class:`Context` at the start and at every time it
could act."""


class Backtest:
    """Strategies (variants) trading against a recorded history, all in one pass.

    The model of own orders (history never changes; own orders never trade with each other):

    * **Passive.** An own order that does not cross joins the back of its level when it reaches
      the exchange: behind every historical order resting there.  It is filled when history
      executes an order behind it (at a worse price on its side, or at its price and entered
      after it): by the smaller of what it has left and what that execution traded.  Executions
      and cancels of orders ahead of it move it forward; those behind it change nothing.  Own
      orders of one variant share such an execution in their priority order.
    * **Aggressive.** An own order that crosses the best opposite price when it arrives trades
      against the historical orders resting then, at their prices, in priority order, less what
      the variant's earlier own orders took from each of them; what it takes is remembered per
      historical order until history executes, reduces or cancels those lots (an execution or
      reduction uses up taken lots first; a cancel or replacement forgets them).  An immediate
      order's remainder is dropped, any other's rests at its price as a passive order.
    * **Amendments** take effect when they arrive, on what is left then: a lower quantity (the
      new open quantity) keeps the place, a higher one or a new price goes to the back, and a new
      price that crosses trades as an aggressive order would.
    """

    def __init__(self, history: History | np.ndarray, latency: Latency = Latency(),
                 tick_size: float = bk.TICK_SIZE) -> None:
        self.history = history if isinstance(history, History) else History.of(history)
        self.latency = latency
        self.tick_size = tick_size

    def run(self, strategies: Sequence[Strategy]) -> list[Outcome]:
        """Runs every strategy as a variant of its own over one pass of the history."""
        return _Pass(self, strategies).run()


class _Executions(NamedTuple):
    """The applied executions of one side, in event order, keyed for the look for the first one
    behind an own order: an execution at a worse price than the own order's, or at its price of
    an order entered later, has a key at least the own order's (the price, signed so that worse
    is larger, times ``scale``, plus one more than the index of the entering event)."""

    events: list[int]
    behind: list[list]  # running maxima of the keys (see _running_maxima)
    scale: int


class _Variant:
    """A variant's state at the exchange."""

    def __init__(self, context: Context, strategy: Strategy) -> None:
        self.context = context
        self.strategy = strategy
        self.index = context.variant
        self.orders: dict[int, _Own] = {}
        self.used: dict[int, float] = {}  # history event -> what own fills took of its execution
        self.taken: dict[int, float] = {}  # historical ref -> lots aggressive own orders took
        self.taken_checked = 0  # history events up to here have been applied to ``taken``
        self.fills: list[tuple] = []
        self.wait_version = 0
        self.next_order = 1
        self.entries = 0  # own orders that joined a level so far: their order among equal arrivals
        self.actions = self.rejected = self.calls = 0
        self.seconds = 0.0


class _Pass:
    """One pass of the history with every variant."""

    def __init__(self, backtest: Backtest, strategies: Sequence[Strategy]) -> None:
        h = self.history = backtest.history
        self.latency, self.tick_size = backtest.latency, backtest.tick_size
        self.strategies = list(strategies)
        self.seen = backtest.latency.seen(h.times)
        self.seen_list = self.seen.tolist()  # bisected at every call: 0.9 us a look, NumPy's searchsorted 1.7 us
        # the best prices per event as plain arrays, -1 where a side is empty (outside every band)
        self.best_prices = tuple(np.where(best["quantity"] > 0, best["price_in_ticks"], -1)
                                 for best in (h.best_bid, h.best_ask))
        self.best_quantities = (np.ascontiguousarray(h.best_bid["quantity"]),
                                np.ascontiguousarray(h.best_ask["quantity"]))
        self.tops = tuple((prices.tolist(), quantities.tolist())
                          for prices, quantities in zip(self.best_prices, self.best_quantities))
        # per side, the events after which the best price differs from before, and that price:
        # a band is watched by walking these in Python, a few steps a wait (the example's
        # busiest variant on AMZN level 5: 0.14 s of CPU in NumPy windows over the prices,
        # 0.065 s walked)
        self.price_changes = []
        for prices in self.best_prices:
            at = np.flatnonzero(np.diff(prices, prepend=-2) != 0)
            self.price_changes.append((at.tolist(), prices[at].tolist()))
        self.quantity = h.events["quantity"]
        executed = np.flatnonzero((h.events["kind"] == _EXECUTE) & h.applied)
        scale = len(h) + 2  # above every entering index + 1, and every arrival + 1
        self.executions = tuple(
            _Executions(executed[mine].tolist(), _running_maxima(_keys(
                h.price[executed][mine], -1 if side == bk.BUY else 1, scale, h.entered[executed][mine] + 1)), scale)
            for side, mine in ((side, h.side[executed] == side) for side in (bk.BUY, bk.SELL)))
        # the events after which the best bid or ask (price or quantity) differs from before
        # them (before the first: both sides empty)
        moved = np.zeros(len(h), dtype=bool)
        for prices, quantities in zip(self.best_prices, self.best_quantities):
            moved |= np.diff(prices, prepend=-1) != 0
            moved |= np.diff(quantities, prepend=0.0) != 0
        self.touches = np.flatnonzero(moved).tolist()
        self.stamps_list = h.times.tolist()  # bisected at every arrival, read at every look
        self.book = bk.new_book(backtest.tick_size)  # the history's book, replayed as far as an arrival needs
        self.book_at = 0
        self.queue: list[tuple] = []
        self.sequence = itertools.count(1)  # breaks ties in the queue: first pushed, first out
        # constant latencies by kind, read without the general look-up (None: measured rows)
        self.entry_by_kind = backtest.latency.__dict__.get("_entry_by_kind")
        self.response_by_kind = backtest.latency.__dict__.get("_response_by_kind")
        self.variants = [_Variant(Context(self, v), strategy) for v, strategy in enumerate(self.strategies)]
        for variant in self.variants:
            variant.context._variant = variant
        self.end = int(self.seen[-1]) if len(h) else 0
        self.event_count = len(h)

    # the queue of what happens, in exchange time

    # An entry is (time, stage, a, b, c, sequence, what): the stage says what it is (a fill of
    # an own order, an action's arrival, a call of a strategy) and ``what`` holds the arguments
    # of its handler.  The handlers are called with positional arguments straight from the entry
    # (the 64 variants on AMZN level 1, profiled: 5.4 s of 65 in the loop itself with the kind's
    # name compared and the arguments sliced, 2.6 s of 37 so).

    def push(self, time: int, stage: int, a: int, b: int, c: int, what: tuple) -> None:
        heappush(self.queue, (time, stage, a, b, c, next(self.sequence), what))

    def run(self) -> list[Outcome]:
        if len(self.history):
            for variant in self.variants:
                self.push(self.seen_list[0], _CALL_STAGE, variant.index, 0, 0, (variant, START, 0, None))
        queue, end = self.queue, self.end
        passive_fill, arrive, call = self.passive_fill, self.arrive, self.call
        while queue:
            time, stage, _, _, _, _, what = heappop(queue)
            if stage == _FILL_STAGE:
                passive_fill(time, what[0], what[1], what[2], what[3])
            elif stage == _ARRIVE_STAGE:
                arrive(time, what[0], what[1], what[2])
            elif time <= end:
                call(time, what[0], what[1], what[2], what[3])
        return [self.outcome(v) for v in self.variants]

    def top(self, side: int, index: int) -> tuple[int, float] | None:
        if index < 0:
            return None
        prices, quantities = self.tops[side]
        price = prices[index]
        return None if price < 0 else (price, quantities[index])

    # the strategy's side

    def call(self, time: int, variant: _Variant, reason: int, version: int, report: tuple | None = None) -> None:
        if reason & _WOKEN and version != variant.wait_version:
            return  # a wait the strategy has changed since
        context = variant.context
        self.report(context, reason, report)
        if reason == ACK and not context.woken_by_acks:
            return  # handed over at the next call
        # reports due at the same time go to the same call (the queue holds a variant's calls of
        # one time side by side)
        queue = self.queue
        while queue and queue[0][0] == time and queue[0][1] == _CALL_STAGE and queue[0][6][0] is variant:
            _, _, _, _, _, _, (_, more, more_version, more_report) = heappop(queue)
            if more & _WOKEN and more_version != variant.wait_version:
                continue
            if more != ACK or context.woken_by_acks:
                reason |= more
            self.report(context, more, more_report)
        context.time, context.reason = time, reason
        context.seen = bisect_right(self.seen_list, time) - 1
        if reason & TIMER:
            context.timer = None
        variant.calls += 1
        started = perf_counter()
        variant.strategy(context)
        variant.seconds += perf_counter() - started
        context.fills, context.acks = [], []
        self.schedule_wait(variant)

    def report(self, context: Context, reason: int, report: tuple | None) -> None:
        if reason == FILL:
            fill, known = report  # type: ignore[misc]
            context.fills.append(fill)
            signed = fill[3] if fill[1] == _BUY else -fill[3]
            context.position += signed
            context.cash -= signed * fill[2] * self.tick_size
            order = fill[0]
        elif reason == ACK:
            ack, known = report  # type: ignore[misc]
            context.acks.append(ack)
            order = ack.order
        else:
            return
        # what the strategy knows of the order: the latest report by the exchange's time
        before = context.orders.get(order)
        if before is None or before.as_of <= known.as_of:
            context.orders[order] = known

    def schedule_wait(self, variant: _Variant) -> None:
        """The next time the variant's wait is met, as one queued call."""
        variant.wait_version += 1
        context = variant.context
        after = context.seen + 1
        wake, reason = None, 0
        if context.waiting_touch:
            at = bisect_left(self.touches, after)
            if at < len(self.touches):
                wake, reason = self.touches[at], TOUCH
        if context.bid_band is not None:
            found = _first_outside(self.price_changes[0], after, context.bid_band,
                                   self.event_count if wake is None else wake)
            if found is not None:
                wake, reason = found, TOUCH
        if context.ask_band is not None:
            found = _first_outside(self.price_changes[1], after, context.ask_band,
                                   self.event_count if wake is None else wake)
            if found is not None:
                wake, reason = found, TOUCH
        when = None if wake is None else self.seen_list[wake]
        if context.timer is not None and (when is None or context.timer <= when):
            reason = TIMER | (TOUCH if context.timer == when else 0)
            when = max(context.timer, context.time)
        if when is not None:
            self.push(when, _CALL_STAGE, variant.index, 0, 0, (variant, reason, variant.wait_version, None))

    def send_new(self, context: Context, side: int, price: int, quantity: float, immediate: bool) -> int:
        if not (price > 0 and quantity > 0 and np.isfinite(quantity)):
            raise ValueError("an own order needs a positive price and a positive, finite quantity")
        variant = context._variant
        order = variant.next_order  # numbered per variant, so that a variant's ids do not depend on the others
        variant.next_order += 1
        context.orders[order] = Known(side, int(price), float(quantity), True, -1)
        self.send(context, "new", (order, side, int(price), float(quantity), immediate))
        return order

    def send(self, context: Context, kind: str, action: tuple) -> None:
        variant = context._variant
        if kind != "new" and action[0] not in context.orders:
            raise ValueError(f"no own order {action[0]} in this variant")
        variant.actions += 1
        constant = self.entry_by_kind
        latency = constant[kind] if constant is not None else self.latency.entry_at(kind, context.time)
        if latency < 0:
            variant.rejected += 1
            arrival = context.time - latency
            ack = Ack(kind, action[0], False, arrival)
            if kind == "new":
                sent = context.orders[action[0]]
                self.respond(variant, "new", arrival, ack, sent._replace(open=False, as_of=arrival))
            else:
                self.respond(variant, kind, arrival, ack, context.orders[action[0]])
            return
        self.push(context.time + latency, _ARRIVE_STAGE, 0, 0, 0, (variant, kind, action))

    def respond(self, variant: _Variant, kind: str, time: int, ack: Ack, known: Known) -> None:
        constant = self.response_by_kind
        at = time + (max(constant[kind], 0) if constant is not None else self.latency.response_at(kind, time))
        self.push(at, _CALL_STAGE, variant.index, 0, 0, (variant, ACK, 0, (ack, known)))

    # the exchange's side

    def arrive(self, time: int, variant: _Variant, kind: str, action: tuple) -> None:
        at = bisect_right(self.stamps_list, time)  # the first event stamped after the arrival
        if kind == "new":
            order, side, price, quantity, immediate = action
            own = _Own(order, side, price, quantity, at)
            variant.orders[order] = own
            self.enter(variant, own, time, immediate)
            self.respond(variant, kind, time, Ack(kind, order, True, time),
                         Known(own.side, own.price, own.remaining, own.open, time))
            return
        found = variant.orders.get(action[0])
        if found is None or not found.open:
            variant.rejected += 1
            known = variant.context.orders[action[0]] if found is None else self.known(found, time)
            self.respond(variant, kind, time, Ack(kind, action[0], False, time), known)
            return
        own = found
        if kind == "cancel":
            own.open = False
            own.version += 1
        else:
            _, quantity, price = action
            price = own.price if price is None else int(price)
            quantity = own.remaining if quantity is None else float(quantity)
            if price == own.price and quantity <= own.remaining:
                own.remaining = quantity  # in place
            else:
                own.price, own.remaining, own.arrived = price, quantity, at
                own.version += 1
                self.enter(variant, own, time, False)
        self.respond(variant, kind, time, Ack(kind, own.id, True, time),
                     Known(own.side, own.price, own.remaining, own.open, time))

    @staticmethod
    def known(own: _Own, time: int) -> Known:
        return Known(own.side, own.price, own.remaining, own.open, time)

    def enter(self, variant: _Variant, own: _Own, time: int, immediate: bool) -> None:
        """An own order joins its level at its arrival: it takes what it crosses first."""
        at = own.arrived
        variant.entries += 1
        own.entry = variant.entries
        best = self.tops[bk.SELL if own.side == bk.BUY else bk.BUY][0][at - 1] if at > 0 else -1
        if best >= 0 and ((own.price >= best) if own.side == bk.BUY else (own.price <= best)):
            self.take(variant, own, time, immediate)
        if immediate or own.remaining <= 0:
            own.open = False
        if own.open:
            self.look_for_fill(variant, own, at)

    def take(self, variant: _Variant, own: _Own, time: int, immediate: bool) -> None:
        """Trades an arriving own order against the book as history left it, less the lots this
        variant took before: on a copy, so that history stays as it was."""
        at = own.arrived
        if self.book_at < at:  # every event stamped up to the arrival, and no other
            self.book_at = self.book.replay(self.history.events, start=self.book_at, until=time + 1).next
            self.book.forget_filled()  # the copies below copy the registry: keep it to what rests
        self.forget_taken(variant, at)
        taken = [(ref, lots) for ref, lots in variant.taken.items() if lots > 0]
        probe = bk.make_events(np.array([OrderBook.REDUCE] * len(taken) + [OrderBook.IOC], dtype=np.uint8),
                               np.array([0] * len(taken) + [own.side], dtype=np.uint8),
                               np.array([0] * len(taken) + [own.price], dtype=np.int64),
                               np.array([lots for _, lots in taken] + [own.remaining], dtype=np.float64),
                               np.array([ref for ref, _ in taken] + [_TAKER_REF], dtype=np.uint64))
        probe["price_in_ticks"][:-1] = 1  # a reduction reads no price, but a price must be valid
        trades = np.asarray(copy.copy(self.book).replay(probe).fills)
        for ref, price, lots in zip(trades["resting_ref"].tolist(), trades["price_in_ticks"].tolist(),
                                    trades["quantity"].tolist()):
            variant.taken[ref] = variant.taken.get(ref, 0.0) + lots
            own.remaining -= lots
            self.record(variant, own, price, lots, time, at, True, not immediate)

    def forget_taken(self, variant: _Variant, upto: int) -> None:
        """Applies history's events since the last look to the lots the variant took."""
        start, variant.taken_checked = variant.taken_checked, upto
        if not variant.taken or upto <= start:
            return
        events = self.history.events[start:upto]
        refs = events["ref"]
        hit = np.flatnonzero(np.isin(refs, np.fromiter(variant.taken, np.uint64, len(variant.taken)))
                             & _MOVES[events["kind"]] & self.history.applied[start:upto])
        for kind, ref, quantity in zip(events["kind"][hit].tolist(), refs[hit].tolist(),
                                       events["quantity"][hit].tolist()):
            if ref not in variant.taken:
                continue
            if kind in (OrderBook.EXECUTE, OrderBook.REDUCE):
                left = variant.taken[ref] - quantity
                if left > 0:
                    variant.taken[ref] = left
                else:
                    del variant.taken[ref]
            else:
                del variant.taken[ref]

    def look_for_fill(self, variant: _Variant, own: _Own, start: int) -> None:
        """Queues the first execution from ``start`` on of an order behind the own order: at a
        worse price, or at its price of an order entered from its arrival on."""
        executions = self.executions[own.side]
        rank = -own.price if own.side == _BUY else own.price  # worse is larger
        at = _first_at_least(executions.behind, bisect_left(executions.events, start),
                             rank * executions.scale + own.arrived + 1)
        if at is not None:
            found = executions.events[at]
            heappush(self.queue, (self.stamps_list[found], _FILL_STAGE, found, rank, own.entry, next(self.sequence),
                                  (variant, own, own.version, found)))

    def passive_fill(self, time: int, variant: _Variant, own: _Own, version: int, event: int) -> None:
        if own.version != version or not own.open:
            return
        left = float(self.quantity[event]) - variant.used.get(event, 0.0)
        lots = min(own.remaining, left)
        if lots > 0:
            variant.used[event] = variant.used.get(event, 0.0) + lots
            own.remaining -= lots
            self.record(variant, own, own.price, lots, time, event, False, True)
            if own.remaining <= 0:
                own.open = False
        if own.open:
            self.look_for_fill(variant, own, event + 1)

    def record(self, variant: _Variant, own: _Own, price: int, lots: float, time: int, event: int,
               aggressive: bool, rests: bool) -> None:
        """An own fill, and its report on its way to the strategy (``rests``: what is left of the
        order stays in the book)."""
        fill = (own.id, own.side, price, lots, time, event, aggressive)
        variant.fills.append(fill)
        constant = self.response_by_kind
        at = time + (max(constant["fill"], 0) if constant is not None else self.latency.response_at("fill", time))
        known = Known(own.side, own.price, own.remaining, rests and own.open and own.remaining > 0, time)
        self.push(at, _CALL_STAGE, variant.index, 0, 0, (variant, FILL, 0, (fill, known)))

    def outcome(self, variant: _Variant) -> Outcome:
        fills = np.array(variant.fills, dtype=OWN_FILL_FIELDS)
        signed = np.where(fills["side"] == bk.BUY, fills["quantity"], -fills["quantity"])
        position = float(signed.sum())
        cash = float(-(signed * fills["price_in_ticks"]).sum()) * self.tick_size
        h = self.history
        mid = 0.0
        if len(h) and h.best_bid["quantity"][-1] > 0 and h.best_ask["quantity"][-1] > 0:
            mid = (int(h.best_bid["price_in_ticks"][-1]) + int(h.best_ask["price_in_ticks"][-1])) / 2 * self.tick_size
        return Outcome(fills, position, cash, cash + position * mid, variant.actions, variant.rejected,
                       variant.calls, variant.seconds)


def _keys(prices: np.ndarray, sign: int, scale: int, plus: np.ndarray) -> np.ndarray:
    """``sign * prices * scale + plus``, exact: in int64 where it fits, else in Python ints."""
    if len(prices) and int(np.abs(prices).max()) * scale + scale >= 2 ** 62:
        prices, plus = prices.astype(object), plus.astype(object)
    return sign * prices * scale + plus


def _running_maxima(keys: np.ndarray) -> list[list]:
    """Level ``k``: the largest of ``keys[i:i + 2**k]`` for every ``i`` where the span fits."""
    levels = [keys]
    span = 1
    while span < len(keys):
        levels.append(np.maximum(levels[-1][:-span], levels[-1][span:]))
        span *= 2
    return [level.tolist() for level in levels]


def _first_at_least(maxima: list[list], at: int, threshold) -> int | None:
    """The first position from ``at`` on whose key is at least ``threshold`` (see
    :func:`_running_maxima`): spans of 1, 2, 4, ... keys are skipped while they hold none, then
    the span that holds it is halved down to the key: 2 log2(distance) steps, where a walk over
    the keys took the distance (the example's 64 variants on AMZN level 1, profiled: 15 % of the
    time walked, 10 % in spans; unprofiled, 14.6 s of CPU before, 11.7 s after)."""
    levels = len(maxima)
    k = 0
    while k < levels and at < len(maxima[k]) and maxima[k][at] < threshold:
        at += 1 << k
        k += 1
    # the first key at least ``threshold``, if any, is within ``2**k`` keys from ``at``
    while k > 0:
        k -= 1
        if at < len(maxima[k]) and maxima[k][at] < threshold:
            at += 1 << k
    return at if at < len(maxima[0]) and maxima[0][at] >= threshold else None


def _first_outside(changes: tuple[list[int], list[int]], start: int, band: tuple[int, int],
                   before: int) -> int | None:
    """The first event from ``start`` on (and before ``before``) after which the best price of a
    side (-1: the side is empty), given by where it changes, is outside ``[low, high]``."""
    low, high = band
    events, prices = changes
    # the change in force at ``start`` (the only one that can lie before it), then the ones
    # after; mostly a step or two (running maxima found them no faster than this walk)
    at = bisect_right(events, start) - 1
    if at < 0:
        at = 0
    elif at < len(events):
        if start >= before:
            return None
        price = prices[at]
        if price < low or price > high:
            return start
        at += 1
    for at in range(at, len(events)):
        event = events[at]
        if event >= before:
            return None
        price = prices[at]
        if price < low or price > high:
            return event
    return None
