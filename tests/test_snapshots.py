"""Copies and pickles of orders, fills and books: exact round trips, independent copies, the
saved layout, and damaged states refused with a message that says what is wrong."""
import copy
import math
import pickle
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import varnholt
from conftest import buy, saved_book, sell, view
from varnholt import Fill, Order, OrderBook, OrderStatus, OrderType

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
COPIES = [pytest.param(lambda o, p=p: pickle.loads(pickle.dumps(o, p)), id="pickle %d" % p) for p in PROTOCOLS] + [
    pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]
ID = "0f8fad5b-d9cb-469f-a165-70867728950e"
OTHER = "1f8fad5b-d9cb-469f-a165-70867728950e"


def busy_book():
    """A book with partly filled, filled, twice-added, amended and update_order'ed orders."""
    book = OrderBook(0.25)
    twice = buy(99, 2.0)
    for order in (buy(100, 3.0), twice, twice, sell(102, 1.0), sell(103, 5.0), sell(103, 2.0)):
        book.add(order)
    book.add(sell(100, 1.0))                       # partly fills the best bid
    book.add(buy(102, 1.0))                        # fills the best ask
    moved = book.buy_orders[0]
    book.amend(moved.id, price_in_ticks=98)
    book.update_order(Order(OrderType.Sell, 200, 7.0))
    return book


def observed(book, ids):
    return (repr(book), [view(o) for o in book.buy_orders + book.sell_orders], book.depth(50),
            [book.get_order(i) and view(book.get_order(i)) for i in ids],
            [book.queue_position(i) for i in ids])


@pytest.mark.parametrize("make_copy", COPIES)
def test_records_come_back_field_by_field(make_copy):
    order = buy(100, 3.0)
    order.fill(sell(99, 1.0), 0.01)
    assert view(make_copy(order)) == view(order)
    fill = Fill(-0.0, math.inf, "b\u00e9", "s" * 100, 2**64 - 1)
    got = make_copy(fill)
    assert (got.quantity, got.price, got.buy_id, got.sell_id, got.timestamp, repr(got)) == (
        fill.quantity, fill.price, fill.buy_id, fill.sell_id, fill.timestamp, repr(fill))
    assert got is not fill and type(got) is Fill


def fills_of(fills):
    return [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]


@pytest.mark.parametrize("make_copy", COPIES)
def test_a_book_comes_back_whole_and_independent(make_copy):
    book = busy_book()
    ids = [o.id for o in book.buy_orders + book.sell_orders] + [OTHER]
    twin = make_copy(book)
    assert twin is not book and observed(twin, ids) == observed(book, ids)
    # The same flow then gives the same fills, queue positions and summaries on both...
    for order in [sell(98, 4.0), buy(103, 2.0), buy(101, 1.0)]:
        assert fills_of(book.add(order)) == fills_of(twin.add(order))
    assert book.amend(ids[-2], 0.5) == twin.amend(ids[-2], 0.5) == []
    assert observed(twin, ids) == observed(book, ids)
    # ... and changing one never changes the other.
    after = observed(book, ids)
    twin.cancel(ids[0])
    twin.add(sell(1, 100.0))
    assert observed(book, ids) == after != observed(twin, ids)
    assert observed(make_copy(book), ids) == after


def test_the_saved_layout_is_versioned_little_endian():
    order = Order(OrderType.Sell, 10050, 2.5)
    function, (state,) = order.__reduce__()
    assert function is varnholt._restore
    assert state == struct.pack("<IB36sBBqdQ", 1, 1, order.id.encode(), 1, 0, 10050, 2.5, order.timestamp)
    fill = Fill(1.5, 2.0, "b", "sé", 7)
    assert fill.__reduce__()[1][0] == struct.pack("<IBddI1sI3sQ", 1, 2, 1.5, 2.0, 1, b"b", 3, "sé".encode(), 7)
    assert OrderBook(0.5).__reduce__()[1][0] == saved_book([], [], [], tick=0.5, version=2)


def entry(oid=ID, side=0, status=0, price=100, quantity=1.0, timestamp=5, recorded=1):
    return (recorded, oid, side, status, price, quantity, timestamp)


def good(**change):
    """A valid state with one bid and one ask, with fields of its parts changed."""
    entries = [entry(**change.pop("first", {})), entry(**{"oid": OTHER, "side": 1, "price": 101,
                                                          **change.pop("second", {})})]
    bids = change.pop("bids", [(100, [(0, 1.0, 5, 2**64 - 1)])])
    asks = change.pop("asks", [(101, [(1, 1.0, 5, 7)])])
    return saved_book(entries if "entries" not in change else change.pop("entries"), bids, asks, **change)


def test_a_valid_state_restores_the_book_it_describes():
    book = varnholt._restore(good())
    assert [view(o) for o in book.buy_orders + book.sell_orders] == [
        (ID, 0, 100, 1.0, 0, 5), (OTHER, 1, 101, 1.0, 0, 5)]
    assert book.get_order(ID).price_in_ticks == 100 and book.depth() == ([(100, 1.0, 1)], [(101, 1.0, 1)])


@pytest.mark.parametrize("state, message", [
    (b"", "too short to hold a version and a kind"),
    (good(version=3), "its layout version is 3; this version of varnholt reads versions 1 and 2"),
    (good(version=2, self_trade=4), "its self-trade policy 4 is not 0, 1, 2 or 3"),
    (good()[:30], "it claims 2 registry entries, more than its 9 remaining bytes hold"),
    (good()[:-1], "it claims 1 ask levels, more than its remaining bytes hold"),
    (good() + b"\0", "1 bytes follow its end"),
    (struct.pack("<IB", 1, 9), "its kind 9 is not 1 (Order), 2 (Fill) or 3 (OrderBook)"),
    (good(first={"side": 2}), "its side 2 is not 0 (Buy) or 1 (Sell)"),
    (good(first={"status": 3}), "its status 3 is not 0 (Open), 1 (Filled) or 2 (Canceled)"),
    (good(first={"price": 0}), "its price_in_ticks is not positive"),
    (good(first={"quantity": -1.0}), "its quantity is negative"),
    (good(first={"quantity": 0.0}), "it is open with no quantity"),
    (good(first={"quantity": -0.0}), "it is open with no quantity"),
    (struct.pack("<IB36sBBqdQ", 1, 1, ID.encode(), 1, 0, 100, 0.0, 5), "it is open with no quantity"),
    (struct.pack("<IB36sBBqdQ", 1, 1, ID.encode(), 1, 0, 100, -0.0, 5), "it is open with no quantity"),
    (good(first={"recorded": 3}), "has a recorded flag that is not 0, 1 or 2"),
    (good(first={"oid": ID.upper()}), "is not a 36-character order id"),
    (good(second={"oid": ID}), "is in the registry twice"),
    (good(entries=[entry()] * 1 + [entry(OTHER, recorded=0, price=0, side=0)], asks=[]),
     "has neither a value nor resting orders"),
    (good(bids=[(100, [(5, 1.0, 5, 1)])]), "names registry entry 5 of 2"),
    (good(bids=[(100, [(0, 0.0, 5, 1)])]), "does not have a positive finite quantity"),
    (good(bids=[(100, [(0, math.nan, 5, 1)])]), "does not have a positive finite quantity"),
    (good(bids=[(100, [(0, math.inf, 5, 1)])]), "does not have a positive finite quantity"),
    (good(bids=[(100, [(0, 1.0, 5, 7)])]), "the reference 7 is given to two resting orders"),
    (good(bids=[(100, [])]), "claims 0 resting orders"),
    (good(bids=[(100, [(0, 1.0, 5, 1)]), (99, [(0, 1.0, 5, 2)])]), "out of order"),
    (good(bids=[(0, [(0, 1.0, 5, 1)])]), "has a price that is not positive"),
    (good()[:13] + struct.pack("<Q", 2**60) + good()[21:], "it claims 1152921504606846976 registry entries"),
    (Order(OrderType.Buy, 1, 1.0).__reduce__()[1][0][:-3], "the state ends early"),
    (Fill(1, 1, "b", "s", 1).__reduce__()[1][0][:-1] + b"\xff" * 9, "bytes follow its end"),
    (struct.pack("<IBddI2sI1sQ", 1, 2, 1.0, 1.0, 2, b"\xed\xa0", 1, b"s", 0), "an id is not UTF-8 text"),
])
def test_damaged_states_are_refused_with_what_is_wrong(state, message):
    with pytest.raises(ValueError, match="^cannot restore ") as refused:
        varnholt._restore(state)
    assert message in str(refused.value)


def test_restore_takes_bytes_only():
    with pytest.raises(TypeError, match="argument 'state': 'str' object cannot be converted to 'PyBytes'"):
        varnholt._restore("state")


def a_book_that_behaves(book):
    """A restored book answers every question consistently and still trades."""
    buys, sells = book.buy_orders, book.sell_orders
    # Each side in price order; a crossed book is a state the feed verbs can leave, so it may be one.
    for side in (buys, sells):
        assert [o.price_in_ticks for o in side] == sorted(o.price_in_ticks for o in side)
    for o in buys + sells:
        assert o.status == OrderStatus.Open and o.quantity > 0
    bids, asks = book.depth(1000)
    assert sum(n for _, _, n in bids + asks) == len(buys) + len(sells)
    taker = Order(OrderType.Buy, 2**63 - 1, 1e300)
    book.add(taker)
    assert book.sell_orders == [] and book.cancel(taker.id)
    book.add(Order(OrderType.Sell, 1, 1e300))
    assert book.buy_orders == []


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_random_and_mutated_states_are_refused_or_give_a_sound_book(data):
    base = pickle.dumps(busy_book())
    state = pickle.loads(base, fix_imports=False).__reduce__()[1][0]
    how = data.draw(st.sampled_from(["bytes", "flip", "cut", "splice"]))
    if how == "bytes":
        state = struct.pack("<IB", 1, data.draw(st.sampled_from([1, 2, 3]))) + data.draw(st.binary(max_size=300))
    elif how == "flip":
        for _ in range(data.draw(st.integers(1, 4))):
            at = data.draw(st.integers(0, len(state) - 1))
            state = state[:at] + bytes([state[at] ^ data.draw(st.integers(1, 255))]) + state[at + 1:]
    elif how == "cut":
        state = state[:data.draw(st.integers(0, len(state) - 1))]
    else:
        at = data.draw(st.integers(0, len(state)))
        state = state[:at] + data.draw(st.binary(min_size=1, max_size=40)) + state[at:]
    try:
        restored = varnholt._restore(state)
    except ValueError as refused:
        assert str(refused).startswith("cannot restore ")
        return
    if isinstance(restored, OrderBook):
        a_book_that_behaves(restored)
