"""OrderBook.replay: whole arrays of events give exactly what the per-call methods give, across
batch boundaries; bad layouts are refused before the book is touched; refused events change
nothing; the book is borrowed (and the interpreter lock released) while it runs."""
import copy
import gc
import math
import os
import pickle
import subprocess
import sys
import threading
import uuid

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import Clock
from model import FeedModel
from test_book_model import bits
from varnholt import Order, OrderBook, OrderStatus, OrderType

EVENT = np.dtype(OrderBook.EVENT_FIELDS)
FEED = np.dtype(OrderBook.FEED_EVENT_FIELDS)
B = OrderBook
ADD, CANCEL, AMEND, IOC, FOK = B.ADD, B.CANCEL, B.AMEND, B.IOC, B.FOK
POST, EXECUTE, REDUCE, REPLACE = B.POST, B.EXECUTE, B.REDUCE, B.REPLACE
APPLIED, REJECTED, UNKNOWN = B.APPLIED, B.REJECTED, B.UNKNOWN_REF
NO_REF = OrderBook.NO_REF
SIDES = (OrderType.Buy, OrderType.Sell)


def events(*rows):
    return np.array(list(rows), dtype=EVENT)


def feed(*rows):
    """Feed-layout events from (kind, side, price, quantity, ref[, new_ref[, timestamp]])."""
    return np.array([tuple(row) + (0, 0)[len(row) - 5:] for row in rows], dtype=FEED)


class PerCall:
    """The same events through the per-call methods, reported as replay reports them: the
    reference says which order each event means, and a reference is live while its order rests."""

    def __init__(self, book):
        self.book, self.ids, self.refs = book, {}, {}

    def live(self, ref):
        oid = self.ids.get(ref)
        return oid is not None and self.book.queue_position(oid) is not None

    def fills(self, index, fills, incoming_ref):
        incoming = self.ids[incoming_ref]
        return [(index, self.refs.get(f.sell_id if f.buy_id == incoming else f.buy_id, NO_REF), incoming_ref,
                 round(f.price / self.book.tick_size), bits(f.quantity)) for f in fills]

    def apply(self, index, kind, side, price, quantity, ref):
        book = self.book
        good = quantity > 0 and math.isfinite(quantity)
        fault = B.REASON_QUANTITY if not good else B.REASON_PRICE if price <= 0 else None

        def refused(reason):
            return (REJECTED, side, price, bits(quantity), 0, reason, 0), []

        if kind in (ADD, IOC, FOK):
            fault = B.REASON_SIDE if side > 1 else fault or (
                B.REASON_NO_REF if ref == NO_REF else B.REASON_LIVE_REF if self.live(ref) else None)
            if fault:
                return refused(fault)
            order = Order(SIDES[side], price, quantity)
            self.ids[ref], self.refs[order.id] = order.id, ref
            made = book.add(order) if kind == ADD else book.take(order, kind == FOK)
            after = book.get_order(order.id)
            left = quantity if after is None else after.quantity
            return (APPLIED, side, price, bits(left), len(made), 0, 0), self.fills(index, made, ref)
        if kind == CANCEL:   # its side is not read
            if not self.live(ref):
                return (UNKNOWN, side, price, bits(quantity), 0, 0, 0), []
            before = book.get_order(self.ids[ref])
            assert book.cancel(self.ids[ref])
            return (APPLIED, int(before.side), before.price_in_ticks, bits(before.quantity), 0, 0, 0), []
        if kind == AMEND:
            if fault:
                return refused(fault)
            if not self.live(ref):
                return (UNKNOWN, side, price, bits(quantity), 0, 0, 0), []
            before = book.get_order(self.ids[ref])
            made = book.amend(self.ids[ref], quantity, price)
            after = book.get_order(self.ids[ref])
            return (APPLIED, int(before.side), before.price_in_ticks, bits(after.quantity), len(made), 0, 0), \
                self.fills(index, made, ref)
        return refused(B.REASON_KIND)


def reported(result, offset=0, times=False):
    outcomes = [(int(e["status"]), int(e["side"]), int(e["price_in_ticks"]), bits(float(e["quantity"])),
                 int(e["fills"]), int(e["reason"]), int(e["at_front"])) for e in np.asarray(result.events)]
    fills = [(int(f["event"]) + offset, int(f["resting_ref"]), int(f["incoming_ref"]), int(f["price_in_ticks"]),
              bits(float(f["quantity"]))) + ((int(f["timestamp"]),) if times else ())
             for f in np.asarray(result.fills)]
    return outcomes, fills


def book_by_ref(book, refs):
    """The resting orders and registry, with ids told by reference."""
    return ([(refs.get(o.id, o.id), int(o.side), o.price_in_ticks, o.quantity) for o in book.buy_orders + book.sell_orders],
            book.depth(100), repr(book))


EVENTS = st.lists(st.tuples(
    st.sampled_from([ADD] * 5 + [CANCEL] * 3 + [AMEND] * 2 + [IOC, FOK, 9, 200]),
    st.sampled_from([0] * 5 + [1] * 5 + [2]),
    st.sampled_from(list(range(96, 105)) + [0, -3]),
    st.sampled_from([1.0, 2.0, 0.5, 3.0, 5.0, 0.0, -1.0, math.nan, math.inf]),
    st.sampled_from(list(range(12)) + [NO_REF])), max_size=80)


# The ways a batch can be given: an array, or its packed bytes in one of three objects (read in
# the layout named); a batch's results written into a new result or into the previous one.
PACKINGS = {
    "array": lambda array: (array, {}),
    "bytes": lambda array: (array.tobytes(), {"layout": B.EVENT_FIELDS if array.dtype == EVENT else B.FEED_EVENT_FIELDS}),
    "bytearray": lambda array: (bytearray(array.tobytes()), {} if array.dtype == EVENT else {"layout": B.FEED_EVENT_FIELDS}),
    "memoryview": lambda array: (memoryview(array.tobytes()), {} if array.dtype == EVENT else {"layout": B.FEED_EVENT_FIELDS}),
}
BATCHES = st.lists(st.tuples(st.sampled_from(sorted(PACKINGS)), st.booleans()), min_size=5, max_size=5)


class Batches:
    """Replays batches into one book, each given as `packings` says and written into the previous
    batch's result when it says so."""

    def __init__(self, book, packings):
        self.book, self.packings, self.last = book, packings, None

    def replay(self, number, array, **keywords):
        packing, into_last = self.packings[number % len(self.packings)]
        given, layout = PACKINGS[packing](array)
        out = self.last if into_last else None
        self.last = self.book.replay(given, out=out, **layout, **keywords)
        assert out is None or self.last is out
        return self.last


@settings(max_examples=int(os.environ.get("VARNHOLT_MODEL_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(flow=EVENTS, cuts=st.lists(st.integers(0, 80), max_size=4), packings=BATCHES)
def test_replay_in_any_batches_is_the_per_call_methods(flow, cuts, packings):
    batch, single = OrderBook(0.5), OrderBook(0.5)
    driver = PerCall(single)
    want = [driver.apply(i, *event) for i, event in enumerate(flow)]
    got_outcomes, got_fills = [], []
    bounds = sorted({0, len(flow), *(c for c in cuts if c <= len(flow))})
    batches = Batches(batch, packings)
    for number, (start, end) in enumerate(zip(bounds, bounds[1:])):
        outcomes, fills = reported(batches.replay(number, events(*flow[start:end])), start)
        got_outcomes += outcomes
        got_fills += fills
    assert got_outcomes == [outcome for outcome, _ in want]
    assert got_fills == [f for _, fills in want for f in fills]
    refs = {batch.order_id(r): r for r in range(12) if batch.order_id(r)}
    assert sorted(refs.values()) == sorted(r for r in driver.ids if driver.live(r))
    assert book_by_ref(batch, refs) == book_by_ref(single, driver.refs)


BUY, SELL = 0, 1
FEED_EVENTS = st.lists(st.tuples(
    st.sampled_from([ADD] * 2 + [POST] * 5 + [CANCEL, AMEND, IOC, FOK, 9] + [EXECUTE] * 3 + [REDUCE] * 2 +
                    [REPLACE] * 2),
    st.sampled_from([0] * 5 + [1] * 5 + [2]),
    st.sampled_from(list(range(98, 103)) * 3 + [0]),
    st.sampled_from([1.0, 2.0, 0.5, 3.0, 0.1, 0.2] * 3 + [0.0, math.nan]),
    st.sampled_from(list(range(6)) * 3 + [NO_REF]),
    st.sampled_from(list(range(8)) * 3 + [NO_REF])), max_size=80)


@settings(max_examples=int(os.environ.get("VARNHOLT_MODEL_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(flow=FEED_EVENTS, cuts=st.lists(st.integers(0, 80), max_size=4),
       owners=st.lists(st.sampled_from([0, 1, 2]), min_size=5, max_size=5),
       self_trade=st.sampled_from([B.STP_OFF, B.STP_CANCEL_RESTING, B.STP_CANCEL_INCOMING, B.STP_DECREMENT]),
       watch=st.sets(st.sampled_from(list(range(8)) + [NO_REF]), max_size=3),
       queue=st.sets(st.integers(0, 8), max_size=3), touch=st.booleans(),
       untils=st.sets(st.integers(0, 90), max_size=3), packings=BATCHES)
def test_feed_replay_in_any_batches_is_the_model(flow, cuts, owners, self_trade, watch, queue, touch, untils, packings):
    """Every kind, posts that cross the book and executions anywhere in a queue included, in
    batches of several owners under a self-trade policy: the results, fills (with the events'
    times) and book are the model's, and each replay stops where the model, looking at every event,
    says the stop conditions are first met (and goes on from there with `start`)."""
    # Three orders a side to start with, so that executions and reductions find queues.
    warm_up = [(POST, r % 2, 100 + r % 2, 1.0, r, 0) for r in range(6)]
    flow = [event + (1000 + i,) for i, event in enumerate(warm_up + flow)]
    model, book = FeedModel(self_trade), OrderBook(0.5)
    book.self_trade = self_trade
    bounds = sorted({0, len(flow), *(c for c in cuts if c <= len(flow))})
    batches = [(start, end, owners[k % len(owners)]) for k, (start, end) in enumerate(zip(bounds, bounds[1:]))]
    queue = sorted(queue)
    seen = model.observe(queue)
    want, met = [], []
    for start, end, owner in batches:
        for i in range(start, end):
            want.append(model.apply(i, *flow[i], owner=owner))
            met.append(model.conditions(seen, want[-1][1], watch, queue) & ~(0 if touch else B.STOP_TOUCH))
    array, untils = feed(*flow), sorted(untils)
    got_outcomes, got_fills = [], []
    calls = Batches(book, packings)
    for start, end, owner in batches:
        at = start
        while at < end:
            until = 1000 + untils[0] if untils else None
            result = calls.replay(at, array[:end], start=at, until=until, watch=watch, touch=touch, queue=queue,
                                  owner=owner)
            expected = (end, 0)
            for i in range(at, end):
                if until is not None and flow[i][-1] >= until:
                    expected = (i, B.STOP_TIME)
                    break
                if met[i]:
                    expected = (i + 1, met[i])
                    break
            assert (result.next, result.stopped) == expected
            outcomes, fills = reported(result, times=True)
            assert len(outcomes) == result.next - at
            got_outcomes += outcomes
            got_fills += fills
            if result.stopped == B.STOP_TIME:
                untils.pop(0)
            at = result.next
    assert got_outcomes == [outcome for outcome, _ in want]
    assert got_fills == [f for _, fills in want for f in fills]
    refs = {book.order_id(r): r for r in range(8) if book.order_id(r)}
    assert sorted(refs.values()) == sorted(model.where)
    assert [(refs[o.id], int(o.side), o.price_in_ticks, o.quantity)
            for o in book.buy_orders + book.sell_orders] == model.book()
    assert book.depth(100) == tuple(
        [(price, sum((q for _, q, *_ in model.sides[side][price]), 0.0), len(model.sides[side][price]))
         for price in sorted(model.sides[side], reverse=side == BUY)] for side in (BUY, SELL))


# Two asks at 100 (refs 1 and 2) and a bid at 99 (ref 3), then one event.
QUEUE = [(POST, 1, 100, 5.0, 1), (POST, 1, 100, 2.0, 2), (POST, 0, 99, 1.0, 3)]
T = 77   # the event's time


def applied(side, price, quantity, fills=0, at_front=0):
    return (APPLIED, side, price, bits(quantity), fills, 0, at_front)


def refused(event, reason):
    return (REJECTED, event[1], event[2], bits(event[3]), 0, reason, 0)


@pytest.mark.parametrize("event, outcome, fills, book", [
    # A post that crosses rests as given, and the book is crossed.
    ((POST, 0, 101, 2.0, 4), applied(0, 101, 2.0), [],
     ([(3, 99, 1.0), (4, 101, 2.0)], [(1, 100, 5.0), (2, 100, 2.0)])),
    # Executions: behind the front it keeps its place; the whole front order leaves.
    ((EXECUTE, 7, -5, 1.5, 2), applied(1, 100, 0.5, 1, 0), [(2, NO_REF, 100, 1.5)],
     ([(3, 99, 1.0)], [(1, 100, 5.0), (2, 100, 0.5)])),
    ((EXECUTE, 0, 0, 5.0, 1), applied(1, 100, 0.0, 1, 1), [(1, NO_REF, 100, 5.0)],
     ([(3, 99, 1.0)], [(2, 100, 2.0)])),
    # Reductions keep the place; to nothing, the order leaves.
    ((REDUCE, 0, 0, 4.0, 1), applied(1, 100, 1.0), [], ([(3, 99, 1.0)], [(1, 100, 1.0), (2, 100, 2.0)])),
    ((REDUCE, 0, 0, 1.0, 3), applied(0, 99, 0.0), [], ([], [(1, 100, 5.0), (2, 100, 2.0)])),
    # A replacement leaves its level and rests at the back of its new one, under the new ref.
    ((REPLACE, 0, 100, 3.0, 1, 9), applied(1, 100, 3.0), [], ([(3, 99, 1.0)], [(2, 100, 2.0), (9, 100, 3.0)])),
    ((REPLACE, 0, 98, 4.0, 3, 3), applied(0, 98, 4.0), [], ([(3, 98, 4.0)], [(1, 100, 5.0), (2, 100, 2.0)])),
    # An add trades as ever; a cancel does not read its side.
    ((ADD, 0, 100, 6.0, 5), applied(0, 100, 0.0, 2), [(1, 5, 100, 5.0), (2, 5, 100, 1.0)],
     ([(3, 99, 1.0)], [(2, 100, 1.0)])),
    ((CANCEL, 7, 0, 0.0, 2), applied(1, 100, 2.0), [], ([(3, 99, 1.0)], [(1, 100, 5.0)])),
])
def test_each_verb_does_what_the_feed_says(event, outcome, fills, book):
    replayed = OrderBook()
    replayed.replay(feed(*QUEUE))
    result = replayed.replay(feed(event[:6] + (0,) * (6 - len(event)) + (T,)))
    got_outcomes, got_fills = reported(result, times=True)
    assert got_outcomes == [outcome]
    assert got_fills == [(0, *fill[:3], bits(fill[3]), T) for fill in fills]
    refs = {replayed.order_id(r): r for r in range(10) if replayed.order_id(r)}
    assert ([(refs[o.id], o.price_in_ticks, o.quantity) for o in replayed.buy_orders],
            [(refs[o.id], o.price_in_ticks, o.quantity) for o in replayed.sell_orders]) == book


@pytest.mark.parametrize("event, reason", [
    ((EXECUTE, 0, 0, 5.5, 1), B.REASON_EXCEEDS),
    ((REDUCE, 0, 0, 2.5, 2), B.REASON_EXCEEDS),
    ((EXECUTE, 0, 0, math.nan, 1), B.REASON_QUANTITY),
    ((POST, 2, 100, 1.0, 4), B.REASON_SIDE),
    ((POST, 0, 0, 1.0, 4), B.REASON_PRICE),
    ((POST, 0, 90, 1.0, 3), B.REASON_LIVE_REF),
    ((POST, 0, 90, 1.0, NO_REF), B.REASON_NO_REF),
    ((REPLACE, 0, 90, 1.0, 1, 2), B.REASON_LIVE_REF),
    ((REPLACE, 0, 90, 1.0, 1, NO_REF), B.REASON_NO_REF),
    ((REPLACE, 0, 90, -1.0, 1, 4), B.REASON_QUANTITY),
    # A value the event itself gets wrong is refused before its reference is looked up.
    ((AMEND, 0, 90, 0.0, 404), B.REASON_QUANTITY),
    ((9, 0, 90, 1.0, 4), B.REASON_KIND),
    ((255, 0, 90, 1.0, 4), B.REASON_KIND),
])
def test_a_refused_verb_says_why_and_changes_nothing(event, reason):
    book = OrderBook()
    book.replay(feed(*QUEUE))
    before = (book.depth(), [o.quantity for o in book.buy_orders + book.sell_orders])
    got, fills = reported(book.replay(feed(event)))
    assert got == [refused(event, reason)] and fills == []
    assert (book.depth(), [o.quantity for o in book.buy_orders + book.sell_orders]) == before


@pytest.mark.parametrize("kind", [EXECUTE, REDUCE, REPLACE])
def test_a_verb_on_a_ref_that_does_not_rest_is_an_unknown_reference(kind):
    book = OrderBook()
    book.replay(feed(*QUEUE, (CANCEL, 0, 0, 0.0, 2)))
    got, _ = reported(book.replay(feed((kind, 1, 100, 1.0, 2, 8))))
    assert got == [(UNKNOWN, 1, 100, bits(1.0), 0, 0, 0)] and book.order_id(8) is None


@pytest.mark.parametrize("event", [(EXECUTE, 0, 0, 2.0, 1), (REDUCE, 0, 0, 2.0, 1), (REPLACE, 0, 90, 1.0, 1, 2)])
def test_the_last_of_a_referenced_copy_leaves_the_other_copies_of_its_id_reachable(event):
    book = OrderBook()
    book.replay(feed((POST, 1, 100, 2.0, 1)))
    oid = book.order_id(1)
    book.add(book.get_order(oid))   # the same order again, resting twice under one id
    assert reported(book.replay(feed(event)))[0][0][0] == APPLIED
    assert book.get_order(oid).quantity == 2.0 and book.cancel(oid)
    assert oid not in [o.id for o in book.sell_orders]


def test_replace_needs_the_feed_layout():
    book = OrderBook()
    book.replay(feed(*QUEUE))
    got, _ = reported(book.replay(events((REPLACE, 1, 100, 1.0, 1))))
    assert got == [refused((REPLACE, 1, 100, 1.0), B.REASON_KIND)]


def test_feed_times_stamp_orders_and_fills_and_the_order_layout_reads_the_clock():
    book = OrderBook()
    result = book.replay(feed((POST, 1, 100, 1.0, 1, 0, 5), (POST, 1, 101, 1.0, 2, 0, 5),
                              (ADD, 0, 100, 2.0, 3, 0, 6), (REPLACE, 0, 102, 1.0, 2, 4, 8),
                              (AMEND, 0, 99, 3.0, 3, 0, 9)))
    assert np.asarray(result.fills)["timestamp"].tolist() == [6]
    assert [(o.price_in_ticks, o.timestamp) for o in book.buy_orders + book.sell_orders] == [(99, 9), (102, 8)]
    with Clock() as clock:
        book.replay(events((ADD, 1, 103, 1.5, 5)))
    assert book.sell_orders[-1].timestamp in clock


def test_a_crossed_book_is_kept_saved_and_still_matches():
    book = OrderBook()
    book.replay(feed((POST, 0, 101, 2.0, 1), (POST, 1, 100, 3.0, 2), (POST, 1, 102, 1.0, 3)))
    assert book.best_bid() == (101, 2.0) and book.best_ask() == (100, 3.0) and book.spread() < 0
    for restored in (pickle.loads(pickle.dumps(book)), copy.copy(book)):
        assert restored.depth() == book.depth() and repr(restored) == repr(book)
        assert restored.order_id(2) == book.order_id(2)
    # A new order still matches the opposite side, best price first.
    fills = book.add(Order(OrderType.Buy, 102, 3.5))
    assert [(f.price, f.quantity) for f in fills] == [(1.0, 3.0), (1.02, 0.5)]
    assert book.depth() == ([(101, 2.0, 1)], [(102, 0.5, 1)])


# Each way of seeing a replayed order's id: the order under ref 1 (a sell at 101, 2 lots).
ID_VIEWS = {
    "order_id": lambda book: book.order_id(1),
    "listing": lambda book: book.sell_orders[0].id,
    "pickle": lambda book: pickle.loads(pickle.dumps(book)).order_id(1),
    "copy": lambda book: copy.copy(book).sell_orders[0].id,
    "fill": lambda book: book.add(Order(OrderType.Buy, 101, 0.5))[0].sell_id,
}


@pytest.mark.parametrize("first", ID_VIEWS)
def test_a_replayed_order_gets_one_random_id_whichever_way_it_is_first_seen(first):
    book = OrderBook()
    book.replay(events((ADD, 1, 101, 2.0, 1), (ADD, 0, 99, 1.0, 2)))
    oid = ID_VIEWS[first](book)
    assert uuid.UUID(oid).version == 4 and str(uuid.UUID(oid)) == oid
    assert [view(book) for view in ID_VIEWS.values()] == [oid] * len(ID_VIEWS)
    assert book.get_order(oid).price_in_ticks == 101 and book.order_id(2) != oid


@pytest.mark.parametrize("start", [0, 5])
def test_depth_snapshots_are_what_depth_says_after_those_events(start):
    # Snapshots count the events from `start`, the first one applied.
    flow = [(ADD, i % 2, 100 - i % 5 if i % 2 == 0 else 101 + i % 5, 1.0 + i % 3, i) for i in range(40)]
    flow += [(CANCEL, 0, 0, 1.0, r) for r in range(0, 40, 3)] + [(IOC, 0, 103, 7.0, 99)]
    book, driver = OrderBook(), PerCall(OrderBook())
    book.replay(events(*flow[:start]))
    result = book.replay(events(*flow), depth=3, every=4, start=start)
    bids, asks = np.asarray(result.bids), np.asarray(result.asks)
    assert bids.shape == asks.shape == ((len(flow) - start) // 4, 3)
    for i, event in enumerate(flow):
        driver.apply(i, *event)
        if i >= start and (i - start + 1) % 4 == 0:
            want_bids, want_asks = driver.book.depth(3)
            row = (i - start) // 4
            for got, want in ((bids[row], want_bids), (asks[row], want_asks)):
                want = want + [(0, 0.0, 0)] * (3 - len(want))
                assert [(int(p), float(q), int(n)) for p, q, n in got.tolist()] == want


# After QUEUE (asks of 5 and 2 at 100, refs 1 and 2; a bid at 99, ref 3), at times 10, 11, ...
STOPPING = [(ADD, 1, 101, 1.0, 4),     # behind the touch: nothing any condition sees
            (ADD, 1, 100, 1.0, 5),     # joins the best ask: its total changes; ref 5 comes
            (CANCEL, 0, 0, 0.0, 4),    # nothing
            (EXECUTE, 0, 0, 1.0, 2),   # ref 2, ahead of ref 5, trades at the touch
            (ADD, 0, 98, 1.0, 6)]      # nothing


@pytest.mark.parametrize("conditions, stops", [
    ({}, [(5, 0)]),
    ({"touch": True}, [(2, B.STOP_TOUCH), (4, B.STOP_TOUCH), (5, 0)]),
    ({"watch": [2]}, [(4, B.STOP_FILL), (5, 0)]),
    ({"watch": iter([3, 4])}, [(5, 0)]),
    ({"queue": [5]}, [(2, B.STOP_QUEUE), (4, B.STOP_QUEUE), (5, 0)]),
    ({"queue": {1}}, [(5, 0)]),   # nothing ahead of the front order changes
    ({"until": 13}, [(3, B.STOP_TIME)]),
    ({"touch": True, "watch": [2], "queue": [5]},
     [(2, B.STOP_TOUCH | B.STOP_QUEUE), (4, B.STOP_FILL | B.STOP_TOUCH | B.STOP_QUEUE), (5, 0)]),
])
def test_replay_stops_after_the_event_that_meets_a_condition(conditions, stops):
    book = OrderBook()
    book.replay(feed(*QUEUE))
    array = feed(*[event + (0, 10 + i) for i, event in enumerate(STOPPING)])
    got, at = [], 0
    while at < len(STOPPING) and (not got or got[-1][1] != B.STOP_TIME):
        result = book.replay(array, start=at, depth=2, **conditions)
        assert len(result.events) == result.next - at
        # A snapshot after each event applied, the last one the book as the replay left it.
        bids, asks = np.asarray(result.bids), np.asarray(result.asks)
        assert bids.shape == asks.shape == (result.next - at, 2)
        if len(bids):
            assert [[tuple(level) for level in side[-1].tolist() if level[2]] for side in (bids, asks)] == \
                [list(side) for side in book.depth(2)]
        got.append((result.next, result.stopped))
        at = result.next
    assert got == stops


@pytest.mark.parametrize("call, error, message", [
    (lambda book, array: book.replay(array, start=6), ValueError, r"start must be at most the number of events \(5\)"),
    (lambda book, array: book.replay(events((ADD, 0, 90, 1.0, 9)), until=5), ValueError,
     "until needs events of OrderBook.FEED_EVENT_FIELDS"),
    (lambda book, array: book.replay(array, 0, 1, 0), TypeError,
     r"OrderBook.replay\(\) takes from 1 to 3 positional arguments but 4 were given"),
    (lambda book, array: book.replay(array, watch=5), TypeError, "'int' object is not iterable"),
    (lambda book, array: book.replay(array, queue=[-1]), OverflowError, "can't convert negative int to unsigned"),
])
def test_refused_stop_conditions_change_nothing(call, error, message):
    book = OrderBook()
    book.replay(feed(*QUEUE))
    before = book_by_ref(book, {})
    with pytest.raises(error, match=message):
        call(book, feed(*[event + (0, 10 + i) for i, event in enumerate(STOPPING)]))
    assert book_by_ref(book, {}) == before


def test_a_replay_from_the_end_applies_nothing():
    result = OrderBook().replay(feed(*QUEUE), start=len(QUEUE), touch=True)
    assert (len(result.events), result.next, result.stopped) == (0, len(QUEUE), 0)


def test_refs_live_across_calls_and_orders_are_ordinary_orders():
    book = OrderBook()
    book.replay(events((ADD, 1, 101, 2.0, 7), (ADD, 0, 99, 1.0, 8)))
    oid = book.order_id(7)
    assert book.get_order(oid).quantity == 2.0 and [o.id for o in book.sell_orders] == [oid]
    assert book.queue_position(oid) == (0, 0.0) and book.order_id(12345) is None
    result = book.replay(events((AMEND, 0, 101, 1.5, 7), (CANCEL, 0, 0, 1.0, 8), (CANCEL, 0, 0, 1.0, 8)))
    assert [int(s) for s in np.asarray(result.events)["status"]] == [APPLIED, APPLIED, UNKNOWN]
    assert book.get_order(oid).quantity == 1.5 and book.order_id(8) is None
    assert book.cancel(oid) and book.order_id(7) is None   # a per-call cancel frees the reference
    assert int(np.asarray(book.replay(events((ADD, 1, 101, 2.0, 7))).events)["status"][0]) == APPLIED


def test_results_are_arrays_numpy_reads_in_place():
    result = OrderBook().replay(events((ADD, 1, 101, 2.0, 1), (ADD, 0, 101, 3.0, 2)))
    fills = np.asarray(result.fills)
    assert fills.dtype == np.dtype(OrderBook.FILL_FIELDS) and len(result.fills) == 1
    assert fills.__array_interface__["data"][0] == result.fills.__array_interface__["data"][0]
    assert np.asarray(result.events).dtype == np.dtype(OrderBook.EVENT_RESULT_FIELDS)
    assert np.asarray(result.bids).shape == (0, 0)
    assert (int(fills[0]["resting_ref"]), int(fills[0]["incoming_ref"]), int(fills[0]["price_in_ticks"])) == (1, 2, 101)


TRADE = events((ADD, 1, 101, 2.0, 1), (ADD, 1, 102, 1.0, 2), (ADD, 0, 102, 3.5, 3))


def results(result):
    return [np.asarray(getattr(result, name)).tobytes() for name in ("events", "fills", "bids", "asks")]


def test_results_read_without_numpy_are_the_records_numpy_reads():
    result = OrderBook().replay(TRADE, depth=2)
    for name in ("events", "fills", "bids", "asks"):
        array = getattr(result, name)
        rows = [tuple(row) if isinstance(row, list) else row for row in np.asarray(array).tolist()]
        assert list(array) == rows and len(rows) == len(array) > 0
        assert bytes(array.memory) == np.asarray(array).tobytes()
    assert result.fills[-1] == (2, 2, 3, 102, 1.0, result.fills[-1][5]) and result.bids[0] == ((0, 0.0, 0),) * 2
    with pytest.raises(IndexError):
        result.fills[2]


def test_a_memoryview_of_results_keeps_them_and_writes_through_on_3_11():
    book = OrderBook()
    result = book.replay(TRADE)
    memory = result.fills.memory
    book.replay(TRADE[:0], out=result)   # the fills array is held: a new one is made
    assert len(result.fills) == 0 and memory.nbytes == 2 * np.dtype(B.FILL_FIELDS).itemsize
    if sys.version_info >= (3, 11):
        fills = book.replay(events((ADD, 1, 101, 2.0, 4), (ADD, 0, 101, 1.0, 5))).fills
        view = fills.memory
        view[8:16] = (7).to_bytes(8, "little")   # resting_ref of the first fill
        assert fills[0][1] == 7
    else:
        assert memory.readonly


@pytest.mark.parametrize("packing", ["bytes", "bytearray", "memoryview"])
@pytest.mark.parametrize("array", [TRADE, feed((POST, 1, 101, 2.0, 1, 0, 5), (ADD, 0, 101, 1.0, 2, 0, 6),
                                               (REPLACE, 0, 103, 1.0, 1, 9, 7))])
def test_packed_bytes_give_what_the_array_gives(packing, array):
    given, keywords = PACKINGS[packing](array)
    keywords.setdefault("layout", B.EVENT_FIELDS if array.dtype == EVENT else B.FEED_EVENT_FIELDS)
    from_array, from_bytes = OrderBook(), OrderBook()
    want = reported(from_array.replay(array, depth=3), times=array.dtype == FEED)
    assert reported(from_bytes.replay(given, depth=3, **keywords), times=array.dtype == FEED) == want
    assert from_bytes.depth(5) == from_array.depth(5)


def test_packed_bytes_are_read_in_the_order_layout_unless_another_is_named():
    book = OrderBook()
    result = book.replay(TRADE.tobytes())
    assert len(result.events) == 3 and len(result.fills) == 2
    # 3 x 42 bytes read as 26-byte records would be ragged.
    with pytest.raises(ValueError, match="^126 bytes are not a whole number of 26-byte records$"):
        book.replay(feed(*[(POST, 0, 90, 1.0, 10 + r) for r in range(3)]).tobytes())


@pytest.mark.parametrize("given, keywords, error, says", [
    (TRADE.tobytes()[:-1], {}, ValueError, "77 bytes are not a whole number of 26-byte records"),
    (bytearray(TRADE.tobytes()), {"layout": B.FEED_EVENT_FIELDS}, ValueError, "78 bytes are not a whole number of 42"),
    (TRADE, {"layout": B.FEED_EVENT_FIELDS}, ValueError, "the layout named is [('kind'"),
    (TRADE.tobytes(), {"layout": B.FILL_FIELDS}, TypeError, "argument 'layout': not a record layout: expected [("),
    (TRADE.tobytes(), {"layout": "feed"}, TypeError, "argument 'layout': not a record layout"),
    (TRADE.tobytes(), {"out": OrderBook()}, TypeError, "argument 'out': 'OrderBook' object cannot be converted to "
                                                       "'ReplayResult'"),
    ("text", {}, TypeError, "argument 'events': 'str' object cannot be converted to 'array of records'"),
])
def test_unreadable_packed_events_change_nothing(given, keywords, error, says):
    book = OrderBook()
    book.add(Order(OrderType.Buy, 100, 1.0))
    before = repr(book)
    with pytest.raises(error) as refused:
        book.replay(given, **keywords)
    assert str(refused.value).startswith(says) and repr(book) == before


def test_out_reuses_the_arrays_no_one_else_holds():
    book = OrderBook()
    result = book.replay(TRADE, depth=1)
    address = result.fills.__array_interface__["data"][0]
    again = book.replay(events((ADD, 1, 105, 2.0, 4), (ADD, 0, 105, 1.0, 5)), depth=1, out=result)
    assert again is result and len(result.fills) == 1 and len(result.events) == 2
    assert result.fills.__array_interface__["data"][0] == address   # written where the last ones were
    held = np.asarray(result.fills)
    kept, twin = held.tobytes(), copy.copy(book)
    book.replay(events((ADD, 0, 105, 1.0, 6)), depth=1, out=result)
    assert held.tobytes() == kept and result.fills.__array_interface__["data"][0] != address
    assert reported(result) == reported(twin.replay(events((ADD, 0, 105, 1.0, 6)), depth=1))
    assert book.replay(events(), out=None) is not result


def test_out_is_borrowed_for_the_call_and_its_interface_is_read_before():
    book, other = OrderBook(), OrderBook()
    result = book.replay(TRADE)

    class Hostile:
        """Its interface replays into the same result while the call reads it: before any borrow."""
        @property
        def __array_interface__(self):
            other.replay(TRADE[:1], out=result)
            return TRADE.__array_interface__
    assert book.replay(Hostile(), out=result) is result and len(result.events) == 3
    # Another thread's replay into the same result while one runs (with the lock released).
    flow = np.zeros(400_000, dtype=EVENT)
    flow["quantity"], flow["price_in_ticks"], flow["ref"] = 1.0, 50, np.arange(len(flow))
    seen, done = [], threading.Event()

    def replay():
        OrderBook().replay(flow, out=result)
        done.set()
    thread = threading.Thread(target=replay)
    thread.start()
    while not done.is_set():
        try:
            other.replay(TRADE[:0], out=result)
        except RuntimeError as refused:
            seen.append(str(refused))
    thread.join()
    assert "Already borrowed" in seen and len(result.events) in (0, len(flow))


def other_layout(change):
    fields = list(OrderBook.EVENT_FIELDS)
    change(fields)
    return np.zeros(3, dtype=fields)


@pytest.mark.parametrize("array, says", [
    (other_layout(lambda f: f.__setitem__(2, ("price_in_ticks", "<i4"))), "('price_in_ticks', '<i8') belongs"),
    (other_layout(lambda f: f.__setitem__(0, ("type", "u1"))), "('kind', '|u1') belongs"),
    (other_layout(lambda f: f.pop()), "field ('ref', '<u8') is missing"),
    (other_layout(lambda f: f.append(("extra", "u1"))), "it has 6 fields"),
    (np.zeros(3, dtype=np.dtype(OrderBook.EVENT_FIELDS, align=True)), "field 2 is ('', '|V6') where"),
    (np.zeros(3, dtype=np.dtype({"names": [n for n, _ in OrderBook.EVENT_FIELDS], "itemsize": 32,
                                 "formats": [t for _, t in OrderBook.EVENT_FIELDS]})), "it has 6 fields"),
    (np.zeros(6, dtype=EVENT)[::2], "not contiguous"),
    (np.zeros((2, 2), dtype=EVENT), "not one-dimensional"),
    ([(0, 0, 1, 1.0, 1)], "'list' object cannot be converted to 'array of records'"),
])
def test_a_wrong_layout_is_refused_before_the_book_is_touched(array, says):
    book = OrderBook()
    book.add(Order(OrderType.Buy, 100, 1.0))
    before = repr(book)
    with pytest.raises(TypeError, match="^argument 'events': ") as refused:
        book.replay(array)
    assert says in str(refused.value) and repr(book) == before


@pytest.mark.parametrize("depth, every, error", [
    (1, 0, ValueError),
    # Levels times snapshots beyond memory, including products that wrap around 64 bits.
    (2**60, 1, MemoryError),
    (2**62, 1, MemoryError),
    # More levels than an array's shape can hold, even when no snapshot is taken.
    (2**63, 1, ValueError),
    (2**63, 3, ValueError),
    (2**64 - 1, 2, ValueError),
])
def test_impossible_snapshot_options_change_nothing(depth, every, error):
    book = OrderBook()
    with pytest.raises(error):
        book.replay(events((ADD, 0, 1, 1.0, 1), (ADD, 1, 2, 1.0, 2)), depth=depth, every=every)
    assert book.depth(2) == ([], [])


class Claimed:
    """An array interface that claims `count` records over the data of `array`, and runs `hook`
    whenever replay reads it."""

    def __init__(self, array, count=None, hook=lambda: None):
        self.array, self.count, self.hook = array, count, hook

    @property
    def __array_interface__(self):
        self.hook()
        interface = dict(self.array.__array_interface__)
        if self.count is not None:
            interface["shape"] = (self.count,)
        return interface


def test_a_finalizer_run_while_the_array_is_read_can_use_the_book():
    book = OrderBook()
    order = Order(OrderType.Buy, 100, 1.0)
    book.add(order)
    cancelled = []

    class Cancels:
        def __del__(self):
            cancelled.append(book.cancel(order.id))

    def collect_garbage():
        cycle = Cancels()
        cycle.itself = cycle
        del cycle
        gc.collect()

    result = book.replay(Claimed(events((ADD, 1, 101, 1.0, 1)), hook=collect_garbage))
    assert cancelled == [True] and book.buy_orders == []
    assert reported(result)[0] == [(APPLIED, 1, 101, bits(1.0), 0, 0, 0)]


@pytest.mark.parametrize("count", [2**60, 2**63 // 26 + 1])
def test_a_length_beyond_memory_changes_nothing(count):
    book = OrderBook()
    book.add(Order(OrderType.Buy, 100, 1.0))
    before = repr(book)
    with pytest.raises(ValueError, match="is more records than memory can address"):
        book.replay(Claimed(events((CANCEL, 0, 0, 0.0, 1)), count))
    assert repr(book) == before


def test_immediate_orders_of_a_replay_leave_no_record_behind():
    book = OrderBook()
    book.replay(events((ADD, 1, 110, 5.0, 1)))
    size = len(pickle.dumps(book))
    # Immediate orders that trade nothing, part or all: none rests, and nobody has their ids.
    flow = [(IOC, 0, 100, 1.0, 2 + i) for i in range(1000)] + [(IOC, 0, 110, 0.5, 5000), (FOK, 0, 110, 9.0, 5001),
                                                                (FOK, 0, 110, 0.5, 5002)]
    outcomes, fills = reported(book.replay(events(*flow)))
    assert [o[0] for o in outcomes] == [APPLIED] * len(flow) and len(fills) == 2
    assert book.forget_filled() == 0
    assert len(pickle.dumps(book)) == size and book.depth() == ([], [(110, 4.0, 1)])


SWEEP = """
import pickle, sys
import numpy as np
import _testcapi
from varnholt import OrderBook as B

class Flow:
    pass


# The interface is read ahead: NumPy's own __array_interface__ crashes when an allocation fails.
array = np.array([(B.ADD, 0, 101, 1.0, 2), (B.POST, 1, 103, 1.0, 3), (B.EXECUTE, 0, 0, 0.5, 1)],
                 dtype=B.EVENT_FIELDS)
flow = Flow()
flow.__array_interface__ = array.__array_interface__
for k in range(1, 500):
    book = B()
    book.replay(np.array([(B.ADD, 1, 101, 2.0, 1)], dtype=B.EVENT_FIELDS))
    before, call = pickle.dumps(book), book.replay
    try:
        _testcapi.set_nomemory(k, 0)
        try:
            result = call(flow, depth=2)
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as failure:
        if pickle.dumps(book) != before:
            sys.exit(f"allocation {k} raised {type(failure).__name__} after changing the book")
        continue
    print(k, len(result.events), len(result.fills))
    break
"""


def test_no_allocation_failure_raises_after_replay_changed_the_book():
    """The interpreter's k-th allocation fails, for every k until the call succeeds: whenever the
    call raises, the book is as it was (everything it returns is made before the book changes)."""
    pytest.importorskip("_testcapi")
    run = subprocess.run([sys.executable, "-c", SWEEP], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    k, outcomes, fills = map(int, run.stdout.split())
    assert k > 5 and (outcomes, fills) == (3, 2)


def test_a_replay_holds_the_book_and_lets_other_threads_run():
    n = 600_000
    flow = np.zeros(n, dtype=EVENT)
    flow["side"], flow["price_in_ticks"], flow["quantity"] = np.arange(n) % 2, 100 + np.arange(n) % 2, 1.0
    flow["kind"][1::2], flow["ref"] = CANCEL, np.arange(n) // 2
    flow["ref"][1::2] = flow["ref"][0::2]
    book, other = OrderBook(), OrderBook()
    seen, done = [], threading.Event()

    def replay():
        book.replay(flow)
        done.set()

    thread = threading.Thread(target=replay)
    thread.start()
    while not done.is_set():
        try:
            book.best_bid()
        except RuntimeError as refused:
            seen.append(str(refused))
        other.add(Order(OrderType.Buy, 1, 1.0))   # the interpreter lock is free meanwhile
    thread.join()
    assert "Already mutably borrowed" in seen and len(other.buy_orders) > 0
    assert book.buy_orders == [] and book.sell_orders == []


@pytest.mark.parametrize("make", [events, feed])
def test_an_order_that_enters_again_where_it_stood_has_moved_for_a_queue_watch(make):
    # A higher quantity takes the order out and in again at the back, where it already stood:
    # the same place, but a new entry in the queue (in either layout, with or without times).
    book = OrderBook()
    book.replay(make((ADD, 1, 101, 1.0, 1), (ADD, 1, 101, 1.0, 2)))
    result = book.replay(make((AMEND, 1, 101, 2.0, 2), (AMEND, 1, 101, 3.0, 2)), queue=[2])
    assert (result.next, result.stopped) == (1, OrderBook.STOP_QUEUE)
    assert book.queue_position(book.order_id(2)) == (1, 1.0)
