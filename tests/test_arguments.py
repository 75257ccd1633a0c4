import gc

import pytest

from varnholt import Fill, Order, OrderBook, OrderStatus, OrderType

from conftest import book_state, buy, sell


def float_like(value):
    return type("FloatLike", (), {"__float__": lambda self: float(value)})()


def index_like(value):
    return type("IndexLike", (), {"__index__": lambda self: value})()


class Hook:
    """A number whose conversion first runs `action` and records the exception it raised."""

    def __init__(self, action, value=1):
        self.action, self.value, self.raised = action, value, None

    def run(self):
        try:
            self.action()
        except Exception as error:
            self.raised = error


class FloatHook(Hook):
    def __float__(self):
        self.run()
        return float(self.value)


class IndexHook(Hook):
    def __index__(self):
        self.run()
        return int(self.value)


def message(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value)


# --- binding -----------------------------------------------------------------------------------

@pytest.mark.parametrize("call, text", [
    (lambda: OrderBook().add(),
     "OrderBook.add() missing 1 required positional argument: 'incoming_order'"),
    (lambda: Fill(),
     "Fill.__new__() missing 5 required positional arguments: "
     "'quantity', 'price', 'buy_id', 'sell_id', and 'timestamp'"),
    (lambda: Order(),
     "Order.__new__() missing 3 required positional arguments: "
     "'side', 'price_in_ticks', and 'quantity'"),
    (lambda: Order(OrderType.Buy, 1),
     "Order.__new__() missing 1 required positional argument: 'quantity'"),
    (lambda: Order(quantity=1.0),
     "Order.__new__() missing 2 required positional arguments: 'side' and 'price_in_ticks'"),
    (lambda: Fill(1.0, 1.0, timestamp=0),
     "Fill.__new__() missing 2 required positional arguments: 'buy_id' and 'sell_id'"),
    (lambda: buy(1).fill(),
     "Order.fill() missing 2 required positional arguments: 'incoming' and 'tick_size'"),
    (lambda: buy(1).can_match(),
     "Order.can_match() missing 1 required positional argument: 'other'"),
    (lambda: OrderBook().create_order(OrderType.Buy),
     "OrderBook.create_order() missing 2 required positional arguments: 'price' and 'quantity'"),
    (lambda: OrderBook().update_order(),
     "OrderBook.update_order() missing 1 required positional argument: 'order'"),
    (lambda: OrderBook().cancel("a", "b"),
     "OrderBook.cancel() takes 1 positional arguments but 2 were given"),
    (lambda: OrderBook().cancel("a", "b", bogus=1),
     "OrderBook.cancel() takes 1 positional arguments but 2 were given"),
    (lambda: OrderBook(0.01, 0.02),
     "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: Order(OrderType.Buy, 1, 1.0, 4, 5),
     "Order.__new__() takes 3 positional arguments but 5 were given"),
    (lambda: buy(1).fill(sell(1), 0.01, 0),
     "Order.fill() takes 2 positional arguments but 3 were given"),
    (lambda: OrderBook().get_order("a", order_id="a"),
     "OrderBook.get_order() got multiple values for argument 'order_id'"),
    (lambda: Order(OrderType.Buy, 1, 1.0, side=OrderType.Sell),
     "Order.__new__() got multiple values for argument 'side'"),
    (lambda: OrderBook().get_order(id="a"),
     "OrderBook.get_order() got an unexpected keyword argument 'id'"),
    (lambda: OrderBook().add(order=buy(1)),
     "OrderBook.add() got an unexpected keyword argument 'order'"),
    (lambda: Order(Side=OrderType.Buy, price_in_ticks=1, quantity=1.0),
     "Order.__new__() got an unexpected keyword argument 'Side'"),
    (lambda: OrderBook().get_order(**{"\ud800": "a"}),
     "OrderBook.get_order() got an unexpected keyword argument '\ud800'"),
    # keywords are examined in the order the caller wrote them
    (lambda: OrderBook().get_order("a", bogus=1, order_id="b"),
     "OrderBook.get_order() got an unexpected keyword argument 'bogus'"),
    (lambda: OrderBook().get_order("a", order_id="b", bogus=1),
     "OrderBook.get_order() got multiple values for argument 'order_id'"),
    (lambda: Fill(1.0, 1.0, "b", "s", 0, buy_id="x", nope=1),
     "Fill.__new__() got multiple values for argument 'buy_id'"),
    # binding problems are reported before any argument is converted
    (lambda: Order("Buy", 1.5),
     "Order.__new__() missing 1 required positional argument: 'quantity'"),
    (lambda: OrderBook().cancel(5, order_id=None),
     "OrderBook.cancel() got multiple values for argument 'order_id'"),
])
def test_binding_errors(call, text):
    assert message(call) == (TypeError, text)


def test_a_keyword_binds_to_its_own_operations_parameter():
    # One name object, "price_in_ticks", is the second parameter of volume_at and the third of
    # amend: each call binds it in its own operation, whichever operation saw the name before.
    book = OrderBook()
    order = Order(OrderType.Buy, 100, 2.0)
    book.add(order)
    for ticks in (101, 102, 103):
        assert book.amend(order.id, quantity=2.0, price_in_ticks=ticks) == []
        assert book.volume_at(side=OrderType.Buy, price_in_ticks=ticks) == (2.0, 1)
        assert book.volume_at(OrderType.Buy, price_in_ticks=ticks - 1) == (0.0, 0)


def test_all_parameters_may_be_passed_by_keyword():
    book = OrderBook(tick_size=0.5)
    order = book.create_order(side=OrderType.Sell, price=1.0, quantity=2.0)
    assert book.add(incoming_order=order) == []
    assert book.get_order(order_id=order.id).price_in_ticks == 2
    book.update_order(order=order)
    assert buy(2).can_match(other=order) is True
    assert buy(2, 5.0).fill(incoming=order, tick_size=1.0).quantity == 2.0
    assert book.cancel(order_id=order.id) is True
    fill = Fill(quantity=1.0, price=2.0, buy_id="b", sell_id="s", timestamp=3)
    assert (fill.buy_id, fill.timestamp) == ("b", 3)


# --- conversion --------------------------------------------------------------------------------

class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("call, text", [
    (lambda: OrderBook().cancel(5),
     "argument 'order_id': 'int' object cannot be converted to 'PyString'"),
    (lambda: Fill(1.0, 1.0, 1, "s", 0),
     "argument 'buy_id': 'int' object cannot be converted to 'PyString'"),
    (lambda: Fill(1.0, 1.0, "b", None, 0),
     "argument 'sell_id': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: OrderBook().add("x"),
     "argument 'incoming_order': 'str' object cannot be converted to 'Order'"),
    (lambda: OrderBook().add(Fill(1.0, 1.0, "b", "s", 0)),
     "argument 'incoming_order': 'Fill' object cannot be converted to 'Order'"),
    (lambda: OrderBook().update_order(None),
     "argument 'order': 'NoneType' object cannot be converted to 'Order'"),
    (lambda: buy(1).can_match(OrderType.Sell),
     "argument 'other': 'OrderType' object cannot be converted to 'Order'"),
    (lambda: buy(1).fill(Outer.Inner(), 0.01),
     "argument 'incoming': 'Outer.Inner' object cannot be converted to 'Order'"),
    (lambda: Order("Buy", 1, 1.0),
     "argument 'side': 'str' object cannot be converted to 'OrderType'"),
    (lambda: Order(OrderStatus.Open, 1, 1.0),
     "argument 'side': 'OrderStatus' object cannot be converted to 'OrderType'"),
    (lambda: OrderBook().create_order("Sell", 1.0, 1.0),
     "argument 'side': 'str' object cannot be converted to 'OrderType'"),
    (lambda: Order(OrderType.Buy, 1.5, 1.0),
     "argument 'price_in_ticks': 'float' object cannot be interpreted as an integer"),
    # the interpreter's own message names the type by its full name
    (lambda: Order(OrderType.Buy, OrderType.Sell, 1.0),
     "argument 'price_in_ticks': 'builtins.OrderType' object cannot be interpreted as an integer"),
    (lambda: Order(OrderType.Buy, 1, None),
     "argument 'quantity': must be real number, not NoneType"),
    (lambda: OrderBook(None),
     "argument 'tick_size': must be real number, not NoneType"),
    (lambda: buy(1).fill(sell(1), None),
     "argument 'tick_size': must be real number, not NoneType"),
    (lambda: Fill(1.0, 1.0, "b", "s", 1.5),
     "argument 'timestamp': 'float' object cannot be interpreted as an integer"),
    (lambda: OrderBook().create_order(OrderType.Buy, None, 1.0),
     "argument 'price': must be real number, not NoneType"),
    # parameters are converted in order and the first failure is reported
    (lambda: Fill(None, "x", 1, 2, -1),
     "argument 'quantity': must be real number, not NoneType"),
    (lambda: Order("Buy", 1.5, None),
     "argument 'side': 'str' object cannot be converted to 'OrderType'"),
    (lambda: buy(1).fill("x", None),
     "argument 'incoming': 'str' object cannot be converted to 'Order'"),
    # conversion happens before validation
    (lambda: Order(OrderType.Buy, 0, None),
     "argument 'quantity': must be real number, not NoneType"),
    (lambda: OrderBook().create_order(OrderType.Buy, -1.0, "x"),
     "argument 'quantity': must be real number, not str"),
])
def test_conversion_errors_name_the_argument(call, text):
    assert message(call) == (TypeError, text)


C_LONG = "Python int too large to convert to C long"


@pytest.mark.parametrize("call, error, expected_text", [
    (lambda: Order(OrderType.Buy, 2**63, 1.0), OverflowError, C_LONG),
    (lambda: Order(OrderType.Buy, -(2**63) - 1, 1.0), OverflowError, C_LONG),
    (lambda: Order(OrderType.Buy, 1, 10**400), OverflowError, None),
    (lambda: Fill(1.0, 1.0, "b", "s", -1), OverflowError, None),
    (lambda: Fill(1.0, 1.0, "b", "s", 2**64), OverflowError, None),
    (lambda: OrderBook().get_order("\ud800"), UnicodeEncodeError, None),
    (lambda: OrderBook().cancel("id\udcff"), UnicodeEncodeError, None),
    (lambda: Fill(1.0, 1.0, "b", "\ud800", 0), UnicodeEncodeError, None),
])
def test_errors_other_than_type_errors_pass_through_without_prefix(call, error, expected_text):
    raised, text = message(call)
    assert raised is error
    assert not text.startswith("argument ")
    assert expected_text is None or text == expected_text


@pytest.mark.parametrize("call, read, expected", [
    (lambda: Order(OrderType.Buy, True, 1.0), "price_in_ticks", 1),
    (lambda: Order(OrderType.Buy, index_like(7), 1.0), "price_in_ticks", 7),
    (lambda: Order(OrderType.Buy, 1, 3), "quantity", 3.0),
    (lambda: Order(OrderType.Buy, 1, float_like(2.5)), "quantity", 2.5),
    (lambda: Order(OrderType.Buy, 1, index_like(4)), "quantity", 4.0),
    (lambda: Fill(1.0, 1.0, "b", "s", 2**64 - 1), "timestamp", 2**64 - 1),
    (lambda: Fill(1.0, 1.0, "b", "s", index_like(9)), "timestamp", 9),
    (lambda: Fill(1.0, 1.0, "b", "s", True), "timestamp", 1),
    (lambda: OrderBook(float_like(0.25)), "tick_size", 0.25),
])
def test_accepted_conversions(call, read, expected):
    value = getattr(call(), read)
    assert value == expected and type(value) is type(expected)


def test_a_hooks_type_error_is_prefixed_and_keeps_its_cause():
    cause = KeyError("inner")

    class Broken:
        def __float__(self):
            raise TypeError("broken number") from cause

    with pytest.raises(TypeError) as caught:
        Order(OrderType.Buy, 1, Broken())
    assert type(caught.value) is TypeError
    assert str(caught.value) == "argument 'quantity': broken number"
    assert caught.value.__cause__ is cause


@pytest.mark.parametrize("error", [ValueError("no"), type("Special", (TypeError,), {})("sub")])
def test_a_hooks_other_error_passes_through_unchanged(error):
    class Broken:
        def __index__(self):
            raise error

    with pytest.raises(BaseException) as caught:
        Order(OrderType.Buy, Broken(), 1.0)
    assert type(caught.value) is type(error)
    assert str(caught.value) == str(error)


# --- borrowing ---------------------------------------------------------------------------------

def test_filling_an_order_with_itself_is_refused_and_changes_nothing():
    order = buy(100, 3.0)
    with pytest.raises(RuntimeError) as caught:
        order.fill(order, 0.01)
    assert type(caught.value) is RuntimeError
    assert str(caught.value) == "Already borrowed"
    assert (order.quantity, order.status) == (3.0, OrderStatus.Open)
    assert order.fill(sell(100, 1.0), 0.01).quantity == 1.0  # nothing stays borrowed


@pytest.mark.parametrize("hook", [FloatHook, IndexHook])
@pytest.mark.parametrize("action", [
    lambda book, order: book.add(order),
    lambda book, order: book.add("not an order"),  # the book is borrowed before conversion
    lambda book, order: book.cancel(order.id),
    lambda book, order: book.update_order(order),
], ids=["add", "add-bad-argument", "cancel", "update_order"])
def test_writing_to_a_book_from_inside_create_order_is_refused(hook, action):
    book, order = OrderBook(), buy(100)
    book.update_order(order)
    price = hook(lambda: action(book, order), value=2)
    created = book.create_order(OrderType.Sell, price, 1.0)
    assert type(price.raised) is RuntimeError and str(price.raised) == "Already borrowed"
    assert created.price_in_ticks == 200
    assert book_state(book) == ([], []) and book.get_order(order.id) is not None
    assert book.add(sell(200)) == []  # the outer call released the book


def test_reading_a_book_from_inside_create_order_is_allowed():
    book = OrderBook()
    book.add(buy(100, 4.0))
    seen = []
    price = FloatHook(lambda: seen.extend([
        book.best_bid(), book.buy_volume(), len(book.buy_orders), repr(book).split(",")[0],
        book.create_order(OrderType.Buy, 1.0, 1.0).price_in_ticks,
    ]))
    book.create_order(OrderType.Sell, price, 1.0)
    assert price.raised is None
    assert seen == [(100, 4.0), 4.0, 1, "Best Bid: 4.00 @ 1", 100]


def test_arguments_are_bound_before_the_book_is_borrowed():
    book = OrderBook()
    price = FloatHook(lambda: book.add())
    book.create_order(OrderType.Sell, price, 1.0)
    assert type(price.raised) is TypeError
    assert str(price.raised) == \
        "OrderBook.add() missing 1 required positional argument: 'incoming_order'"


def test_a_refused_borrow_escaping_a_hook_is_raised_without_prefix():
    book = OrderBook()

    class Escaping:
        def __float__(self):
            book.cancel("x")
            return 1.0

    assert message(lambda: book.create_order(OrderType.Buy, Escaping(), 1.0)) == \
        (RuntimeError, "Already borrowed")
    assert book.cancel("x") is False


@pytest.mark.parametrize("action, text", [
    (lambda receiver, incoming: receiver.quantity, "Already mutably borrowed"),
    (lambda receiver, incoming: incoming.is_open(), "Already mutably borrowed"),
    (lambda receiver, incoming: incoming.can_match(receiver), "Already mutably borrowed"),
    (lambda receiver, incoming: repr(receiver), "Already mutably borrowed"),
    (lambda receiver, incoming: receiver.fill(sell(1), 0.01), "Already borrowed"),
    (lambda receiver, incoming: buy(200).fill(incoming, 0.01), "Already borrowed"),
], ids=["receiver-property", "incoming-method", "incoming-as-receiver", "receiver-repr",
        "receiver-fill", "incoming-as-argument"])
def test_orders_being_filled_refuse_access_from_a_tick_size_hook(action, text):
    receiver, incoming = buy(100, 5.0), sell(100, 2.0)
    tick_size = FloatHook(lambda: action(receiver, incoming), value=0.5)
    fill = receiver.fill(incoming, tick_size)
    assert type(tick_size.raised) is RuntimeError and str(tick_size.raised) == text
    assert (fill.quantity, fill.price) == (2.0, 50.0)
    assert (receiver.quantity, incoming.quantity) == (3.0, 0.0)
    assert receiver.is_open() and not incoming.is_open()



@pytest.mark.parametrize("call, error", [
    (lambda book: book.create_order(OrderType.Buy, None, 1.0), TypeError),
    (lambda book: book.cancel("\ud800"), UnicodeEncodeError),
    (lambda book: book.get_order(5), TypeError),
    (lambda book: book.create_order(OrderType.Buy, 1.0, 10**400), OverflowError),
])
def test_a_collection_while_a_conversion_error_is_made_finds_the_book_free(call, error):
    # With a collection at every allocation of a tracked object, the exception objects of a
    # failed conversion are made under a collection; a gc callback that uses the book must find
    # it no longer borrowed (before, the cancel got "Already borrowed" and was lost).
    book = OrderBook()
    seen = []

    def uses_the_book(phase, info):
        try:
            seen.append(book.cancel("00000000-0000-4000-8000-000000000000"))
        except RuntimeError as refused:
            seen.append(str(refused))

    threshold = gc.get_threshold()
    gc.callbacks.append(uses_the_book)
    gc.set_threshold(1)
    try:
        with pytest.raises(error):
            call(book)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(uses_the_book)
    assert set(seen) <= {False}
