"""OrderBook.replay: whole arrays of events give exactly what the per-call methods give, across
batch boundaries; bad layouts are refused before the book is touched; refused events change
nothing; the book is borrowed (and the interpreter lock released) while it runs."""
import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from test_book_model import bits
from varnholt import Order, OrderBook, OrderStatus, OrderType

EVENT = np.dtype(OrderBook.EVENT_FIELDS)
ADD, CANCEL, AMEND, IOC, FOK = range(5)
APPLIED, REJECTED, UNKNOWN = range(3)
NO_REF = OrderBook.NO_REF
SIDES = (OrderType.Buy, OrderType.Sell)


def events(*rows):
    return np.array(list(rows), dtype=EVENT)


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
        book, refused = self.book, (REJECTED, side, price, bits(quantity), 0)
        good = quantity > 0 and math.isfinite(quantity)
        if kind in (ADD, IOC, FOK):
            if side > 1 or not good or price <= 0 or ref == NO_REF or self.live(ref):
                return refused, []
            order = Order(SIDES[side], price, quantity)
            self.ids[ref], self.refs[order.id] = order.id, ref
            made = book.add(order) if kind == ADD else book.take(order, kind == FOK)
            after = book.get_order(order.id)
            left = quantity if after is None else after.quantity
            return (APPLIED, side, price, bits(left), len(made)), self.fills(index, made, ref)
        if kind == CANCEL:
            if not self.live(ref):
                return (UNKNOWN, side, price, bits(quantity), 0), []
            before = book.get_order(self.ids[ref])
            assert book.cancel(self.ids[ref])
            return (APPLIED, int(before.side), before.price_in_ticks, bits(before.quantity), 0), []
        if kind == AMEND:
            if not good or price <= 0:
                return refused, []
            if not self.live(ref):
                return (UNKNOWN, side, price, bits(quantity), 0), []
            before = book.get_order(self.ids[ref])
            made = book.amend(self.ids[ref], quantity, price)
            after = book.get_order(self.ids[ref])
            return (APPLIED, int(before.side), before.price_in_ticks, bits(after.quantity), len(made)), \
                self.fills(index, made, ref)
        return refused, []


def reported(result, offset=0):
    outcomes = [(int(e["status"]), int(e["side"]), int(e["price_in_ticks"]), bits(float(e["quantity"])),
                 int(e["fills"])) for e in np.asarray(result.events)]
    fills = [(int(f["event"]) + offset, int(f["resting_ref"]), int(f["incoming_ref"]), int(f["price_in_ticks"]),
              bits(float(f["quantity"]))) for f in np.asarray(result.fills)]
    return outcomes, fills


def book_by_ref(book, refs):
    """The resting orders and registry, with ids told by reference."""
    return ([(refs.get(o.id, o.id), int(o.side), o.price_in_ticks, o.quantity) for o in book.buy_orders + book.sell_orders],
            book.depth(100), repr(book))


EVENTS = st.lists(st.tuples(
    st.sampled_from([ADD] * 5 + [CANCEL] * 3 + [AMEND] * 2 + [IOC, FOK, 7]),
    st.sampled_from([0] * 5 + [1] * 5 + [2]),
    st.sampled_from(list(range(96, 105)) + [0, -3]),
    st.sampled_from([1.0, 2.0, 0.5, 3.0, 5.0, 0.0, -1.0, math.nan, math.inf]),
    st.sampled_from(list(range(12)) + [NO_REF])), max_size=80)


@settings(max_examples=int(os.environ.get("VARNHOLT_MODEL_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(flow=EVENTS, cuts=st.lists(st.integers(0, 80), max_size=4))
def test_replay_in_any_batches_is_the_per_call_methods(flow, cuts):
    batch, single = OrderBook(0.5), OrderBook(0.5)
    driver = PerCall(single)
    want = [driver.apply(i, *event) for i, event in enumerate(flow)]
    got_outcomes, got_fills = [], []
    bounds = sorted({0, len(flow), *(c for c in cuts if c <= len(flow))})
    for start, end in zip(bounds, bounds[1:]):
        outcomes, fills = reported(batch.replay(events(*flow[start:end])), start)
        got_outcomes += outcomes
        got_fills += fills
    assert got_outcomes == [outcome for outcome, _ in want]
    assert got_fills == [f for _, fills in want for f in fills]
    refs = {batch.order_id(r): r for r in range(12) if batch.order_id(r)}
    assert sorted(refs.values()) == sorted(r for r in driver.ids if driver.live(r))
    assert book_by_ref(batch, refs) == book_by_ref(single, driver.refs)


def test_depth_snapshots_are_what_depth_says_after_those_events():
    flow = [(ADD, i % 2, 100 - i % 5 if i % 2 == 0 else 101 + i % 5, 1.0 + i % 3, i) for i in range(40)]
    flow += [(CANCEL, 0, 0, 1.0, r) for r in range(0, 40, 3)] + [(IOC, 0, 103, 7.0, 99)]
    book, driver = OrderBook(), PerCall(OrderBook())
    result = book.replay(events(*flow), depth=3, every=4)
    bids, asks = np.asarray(result.bids), np.asarray(result.asks)
    assert bids.shape == asks.shape == (len(flow) // 4, 3)
    for i, event in enumerate(flow):
        driver.apply(i, *event)
        if (i + 1) % 4 == 0:
            want_bids, want_asks = driver.book.depth(3)
            for got, want in ((bids[i // 4], want_bids), (asks[i // 4], want_asks)):
                want = want + [(0, 0.0, 0)] * (3 - len(want))
                assert [(int(p), float(q), int(n)) for p, q, n in got.tolist()] == want


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
    (2**63, 1, MemoryError),
    (2**64 - 1, 2, MemoryError),
])
def test_impossible_snapshot_options_change_nothing(depth, every, error):
    book = OrderBook()
    with pytest.raises(error):
        book.replay(events((ADD, 0, 1, 1.0, 1), (ADD, 1, 2, 1.0, 2)), depth=depth, every=every)
    assert book.depth(2) == ([], [])


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


FLOW = """event,ref,side,price,quantity
add,a,buy,10.00,5
add,a,buy,10.00,5
add,b,sell,9.99,2
cancel,zz,,,
add,c,up,1,1
cancel,a,,,
cancel,a,,,
"""


@pytest.mark.parametrize("on_error, status, says", [
    ("skip", 0, ["line 3: ref 'a' names an order that is still resting", "line 6: side 'up' is not buy or sell"]),
    # Stopping, the first bad line in the file is the one that stops it, though it is found in its batch.
    ("stop", 1, ["line 3: ref 'a' names an order that is still resting", "stopped at line 3 (--on-error stop)"]),
])
def test_the_replay_example_counts_and_reports_what_replay_did(tmp_path, on_error, status, says):
    path = tmp_path / "flow.csv"
    path.write_text(FLOW)
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "replay.py")
    run = subprocess.run([sys.executable, example, str(path), "--quiet", "--on-error", on_error, "--batch", "4"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == status and [line.split(": ", 1)[1] for line in run.stderr.splitlines()] == says
    if status == 0:
        counts = dict(line.strip().rsplit(None, 1) for line in run.stdout.splitlines()[1:9] if "(" not in line)
        assert counts == {"events processed": "6", "adds": "2", "cancels": "1", "unknown-ref cancels": "1",
                          "bad lines": "2", "fills": "1", "traded volume": "2"}
        assert "late cancels       1 (" in run.stdout
