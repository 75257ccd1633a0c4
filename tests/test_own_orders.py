"""Own orders: add_as (an order resting under the caller's reference, with an owner), owners on
replayed orders, and self-trade prevention (OrderBook.self_trade) in add_as, amend, take and
replay, kept through copies and pickles. The random sequences of test_book_model.py and
test_replay.py hold the same rules to the model; these are the hand-checked cases."""
import copy
import pickle

import numpy as np
import pytest

import varnholt
from conftest import buy, saved_book, sell
from varnholt import OrderBook, OrderStatus

B = OrderBook
FEED = np.dtype(B.FEED_EVENT_FIELDS)
MINE, THEIRS = 7, 8


def state(book, refs=range(10)):
    """The resting orders as (ref, price, quantity) per side, told by reference."""
    named = {book.order_id(r): r for r in refs if book.order_id(r)}
    return ([(named.get(o.id), o.price_in_ticks, o.quantity) for o in book.buy_orders],
            [(named.get(o.id), o.price_in_ticks, o.quantity) for o in book.sell_orders])


def two_asks(policy):
    """My ask of 2 at 100 (ref 1), then another owner's ask of 1 at 100 (ref 2)."""
    book = OrderBook()
    book.self_trade = policy
    assert book.add_as(sell(100, 2.0), 1, MINE) == []
    assert book.add_as(sell(100, 1.0), 2, THEIRS) == []
    return book


@pytest.mark.parametrize("policy, traded, left, mine_after", [
    # Off: my orders trade with each other like anyone's.
    (B.STP_OFF, [(2.0, 1), (1.0, 2)], ([], []), (OrderStatus.Filled, 0.0)),
    # My resting ask is cancelled, matching goes on behind it, the rest of my bid rests.
    (B.STP_CANCEL_RESTING, [(1.0, 2)], ([(3, 100, 2.0)], []), (OrderStatus.Canceled, 2.0)),
    # My bid's remainder is cancelled at my ask: nothing trades, nothing of it rests.
    (B.STP_CANCEL_INCOMING, [], ([], [(1, 100, 2.0), (2, 100, 1.0)]), (OrderStatus.Open, 2.0)),
    # Both lose 2 without a fill: my ask is gone, my bid's last lot trades with theirs.
    (B.STP_DECREMENT, [(1.0, 2)], ([], []), (OrderStatus.Canceled, 0.0)),
])
def test_each_policy_between_my_bid_and_my_ask(policy, traded, left, mine_after):
    book = two_asks(policy)
    ask = book.order_id(1)
    by_ref = {ask: 1, book.order_id(2): 2}
    fills = book.add_as(buy(100, 3.0), 3, MINE)
    assert [(f.quantity, by_ref[f.sell_id]) for f in fills] == traded
    assert state(book) == left
    mine = book.get_order(ask)
    assert (mine.status, mine.quantity) == mine_after


@pytest.mark.parametrize("policy, traded, left", [
    (B.STP_OFF, 1, ([], [])),
    (B.STP_CANCEL_RESTING, 0, ([], [(2, 99, 1.0)])),
    (B.STP_CANCEL_INCOMING, 0, ([(1, 99, 1.0)], [])),
    (B.STP_DECREMENT, 0, ([], [])),
])
def test_amending_my_ask_across_my_bid(policy, traded, left):
    # The quant's first version traded its own ask against its own bid through amend.
    book = OrderBook()
    book.self_trade = policy
    book.add_as(buy(99, 1.0), 1, MINE)
    book.add_as(sell(101, 1.0), 2, MINE)
    assert len(book.amend(book.order_id(2), None, 99)) == traded
    assert state(book) == left


def test_owner_zero_and_other_owners_always_trade():
    book = OrderBook()
    book.self_trade = B.STP_CANCEL_INCOMING
    book.add(sell(100, 1.0))                       # no owner
    book.add_as(sell(100, 1.0), 1, THEIRS)
    assert len(book.add(buy(100, 1.0))) == 1       # owner 0 never meets the rule
    assert len(book.add_as(buy(100, 1.0), 2, MINE)) == 1
    assert state(book) == ([], [])


def test_an_immediate_order_that_meets_its_own_order():
    # Fill-or-kill: the rule ending it means it did not fill, so nothing happens at all.
    book = two_asks(B.STP_CANCEL_RESTING)
    fok = np.array([(B.FOK, 0, 100, 3.0, 5, 0, 1)], dtype=FEED)
    book.self_trade = B.STP_CANCEL_INCOMING
    result = book.replay(fok, owner=MINE)
    assert np.asarray(result.events)["quantity"].tolist() == [3.0] and len(result.fills) == 0
    assert state(book) == ([], [(1, 100, 2.0), (2, 100, 1.0)])
    # Immediate-or-cancel under cancel-resting: mine goes, theirs trades, the rest is dropped.
    book.self_trade = B.STP_CANCEL_RESTING
    result = book.replay(np.array([(B.IOC, 0, 100, 3.0, 5, 0, 2)], dtype=FEED), owner=MINE)
    assert np.asarray(result.fills)[["resting_ref", "quantity"]].tolist() == [(2, 1.0)]
    assert np.asarray(result.events)["quantity"].tolist() == [2.0]
    assert state(book) == ([], [])


def test_replayed_orders_carry_the_calls_owner():
    book = OrderBook()
    book.self_trade = B.STP_DECREMENT
    book.replay(np.array([(B.POST, 1, 100, 2.0, 1, 0, 1)], dtype=FEED), owner=MINE)
    result = book.replay(np.array([(B.ADD, 0, 100, 3.0, 2, 0, 2)], dtype=FEED), owner=MINE)
    assert len(result.fills) == 0 and state(book) == ([(2, 100, 1.0)], [])
    # Another owner's order trades with it.
    result = book.replay(np.array([(B.ADD, 1, 100, 1.0, 3, 0, 3)], dtype=FEED), owner=THEIRS)
    assert np.asarray(result.fills)[["resting_ref", "incoming_ref"]].tolist() == [(2, 3)]


def test_an_order_added_under_a_ref_is_named_by_replay():
    book = OrderBook()
    mine = sell(100, 2.0)
    assert book.add_as(mine, 9) == [] and book.order_id(9) == mine.id
    result = book.replay(np.array([(B.ADD, 0, 100, 1.5, 4, 0, 5), (B.AMEND, 1, 100, 0.25, 9, 0, 6)], dtype=FEED))
    assert np.asarray(result.fills)[["event", "resting_ref", "incoming_ref", "quantity"]].tolist() == [(0, 9, 4, 1.5)]
    assert book.get_order(mine.id).quantity == 0.25
    book.replay(np.array([(B.CANCEL, 0, 0, 0.0, 9, 0, 7)], dtype=FEED))
    assert book.order_id(9) is None and book.sell_orders == []


@pytest.mark.parametrize("call, error, message", [
    (lambda book: book.add_as(buy(90), B.NO_REF), ValueError, "ref must not be NO_REF"),
    (lambda book: book.add_as(buy(90), 1), ValueError, "ref 1 already names a resting order"),
    (lambda book: book.add_as(buy(90), 5, 2**32), ValueError, "owner must be below 2**32"),
    (lambda book: book.add_as(buy(90), 5, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda book: book.replay(np.zeros(1, dtype=FEED), owner=2**32), ValueError, "owner must be below 2**32"),
    (lambda book: setattr(book, "self_trade", 4), ValueError, "self_trade must be OrderBook.STP_OFF"),
    (lambda book: delattr(book, "self_trade"), AttributeError, "cannot delete attribute"),
])
def test_refused_arguments_change_nothing(call, error, message):
    book = two_asks(B.STP_DECREMENT)
    before = (state(book), book.self_trade)
    with pytest.raises(error, match="^" + message.replace("*", r"\*").replace("(", r"\(")):
        call(book)
    assert (state(book), book.self_trade) == before


@pytest.mark.parametrize("carry", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))])
def test_copies_and_pickles_keep_owners_and_the_policy(carry):
    book = carry(two_asks(B.STP_CANCEL_RESTING))
    assert book.self_trade == B.STP_CANCEL_RESTING
    fills = book.add_as(buy(100, 1.0), 3, MINE)
    assert [f.sell_id for f in fills] == [book.get_order(fills[0].sell_id).id] and book.order_id(1) is None


def test_a_saved_state_of_the_first_layout_still_loads():
    oid = "00000000-0000-4000-8000-000000000001"
    entry = (1, oid, 1, 0, 100, 1.0, 5)
    old = varnholt._restore(saved_book([entry], [], [(100, [(0, 1.0, 5, 3)])]))
    assert old.self_trade == B.STP_OFF and old.order_id(3) == oid
    owned = varnholt._restore(saved_book([entry + (MINE,)], [], [(100, [(0, 1.0, 5, 3)])], version=2,
                                         self_trade=B.STP_CANCEL_INCOMING))
    assert owned.self_trade == B.STP_CANCEL_INCOMING
    assert owned.add_as(buy(100, 1.0), 4, MINE) == [] and owned.order_id(3) == oid
    assert owned.add_as(buy(100, 1.0), 5, THEIRS) != []
