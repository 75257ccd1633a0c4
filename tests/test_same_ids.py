"""One id, several resting copies (the same order added twice, or an order with the id of another):
every operation that takes an id keeps the registry and the resting copies consistent, so that no
copy is left resting that its id cannot take out. update_order alone can point the registry
elsewhere, and then cancel looks only where the recorded value says."""
import copy
import pickle

import pytest

from conftest import book_state, buy, levels, same_id, sell
from varnholt import OrderStatus


def test_cancel_takes_out_a_copy_that_an_amendment_moved(book):
    order = buy(100, 2.0)
    book.add(order)
    book.add(order)
    assert book.amend(order.id, None, 99) == []
    assert book.cancel(order.id) is True
    assert book_state(book) == ([], [])
    assert book.get_order(order.id) is None and book.cancel(order.id) is False


def test_an_id_whose_copy_still_rests_is_not_forgotten(book):
    order = sell(100, 1.0)
    book.add(order)
    book.add(order)
    assert len(book.add(buy(100, 1.0))) == 1  # the first copy fills; the registry records it Filled
    assert book.forget_filled() == 1  # only the buy: a copy of `order` still rests
    assert book.get_order(order.id).status == OrderStatus.Filled
    assert book.cancel(order.id) is True
    assert book_state(book) == ([], [])


@pytest.mark.parametrize("second_price, second_quantity", [
    (99, 1.0),    # rests at another price
    (101, 3.0),   # fills completely: the registry records it Filled at 101, the first copy rests
])
def test_cancel_takes_out_every_copy_of_an_id_at_any_price(book, second_price, second_quantity):
    book.add(sell(101, 3.0))
    order = buy(100, 1.0)
    book.add(order)
    book.add(same_id(order, price_in_ticks=second_price, quantity=second_quantity))
    assert book.cancel(order.id) is True
    assert levels(book.buy_orders) == []
    assert book.get_order(order.id) is None and book.cancel(order.id) is False


def test_an_immediate_order_does_not_overwrite_the_value_of_an_id_that_rests(book):
    order = buy(100, 1.0)
    book.add(order)
    assert book.take(order) == []
    recorded = book.get_order(order.id)
    assert (recorded.status, recorded.quantity) == (OrderStatus.Open, 1.0)
    assert book.cancel(order.id) is True
    assert book_state(book) == ([], [])


def test_an_immediate_order_that_fills_the_last_copy_of_its_id_is_recorded(book):
    resting = buy(100, 1.0)
    book.add(resting)
    crossing = same_id(resting, side=1, price_in_ticks=100)
    assert [f.quantity for f in book.take(crossing)] == [1.0]
    assert book.get_order(resting.id).status == OrderStatus.Filled
    assert book_state(book) == ([], [])


@pytest.mark.parametrize("carry", [lambda book: book, copy.copy, lambda book: pickle.loads(pickle.dumps(book))])
@pytest.mark.parametrize("other", [{"price_in_ticks": 99}, {"side": 1, "price_in_ticks": 200}])
def test_a_value_recorded_elsewhere_by_update_order_leaves_the_copy_resting(book, other, carry):
    order = buy(100, 1.0)
    book.add(order)
    book.update_order(same_id(order, **other))
    book = carry(book)  # copies and saved states keep whose value it is
    assert book.cancel(order.id) is True
    assert levels(book.buy_orders) == [(order.id, 100, 1.0)]
    assert book.get_order(order.id) is None and book.cancel(order.id) is False
    # The copy still trades, and its fill records it again, as before.
    assert len(book.add(sell(100, 0.5))) == 1
    assert book.get_order(order.id).quantity == 0.5
    assert book.cancel(order.id) is True and book_state(book) == ([], [])


def test_queue_position_and_amend_follow_the_first_copy_after_a_move(book):
    order = buy(100, 1.0)
    book.add(order)
    book.add(buy(100, 2.0))
    book.add(order)
    assert book.queue_position(order.id) == (0, 0.0)
    assert book.amend(order.id, 3.0) == []  # a higher quantity: to the back of its level
    assert book.queue_position(order.id) == (1, 2.0)  # the copy that stayed is first now
    assert book.cancel(order.id) is True
    assert [q for _, _, q in levels(book.buy_orders)] == [2.0]
