import importlib
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import varnholt
from varnholt import Fill, Order, OrderBook, OrderStatus, OrderType

CLASS_NAMES = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
CLASSES = [Order, Fill, OrderBook, OrderType, OrderStatus]

INSTANCES = {
    "order": lambda: Order(OrderType.Buy, 100, 1.0),
    "fill": lambda: Fill(1.0, 1.0, "b", "s", 0),
    "book": lambda: OrderBook(),
    "side": lambda: OrderType.Sell,
    "status": lambda: OrderStatus.Filled,
}


def test_all_lists_the_five_classes_in_registration_order():
    assert type(varnholt.__all__) is list
    assert varnholt.__all__ == CLASS_NAMES
    for name in CLASS_NAMES:
        assert getattr(varnholt, name).__name__ == name


def test_module_has_an_empty_docstring_and_no_functions():
    assert varnholt.__doc__ == ""
    public = sorted(name for name in vars(varnholt) if not name.startswith("_"))
    assert public == sorted(CLASS_NAMES)


def test_importing_again_after_removal_yields_the_same_module(monkeypatch):
    original = sys.modules["varnholt"]
    monkeypatch.delitem(sys.modules, "varnholt")
    again = importlib.import_module("varnholt")
    assert again is original
    assert again.__all__ == CLASS_NAMES
    assert again.OrderBook is OrderBook


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_NAMES)
def test_classes_are_plain_builtins_types(cls):
    assert isinstance(cls, type)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls, signature, doc", [
    (Order, "(side, price_in_ticks, quantity)",
     "Represents a single order in the order book.\n"
     "Contains details such as price, quantity, side (Buy/Sell), and status."),
    (Fill, "(quantity, price, buy_id, sell_id, timestamp)",
     "Represents a match (fill) between two orders.\n"
     "Tracks details such as the quantity, price, and the involved order IDs."),
    (OrderBook, "(tick_size=0.01)",
     "Represents the main order book for matching buy and sell orders."),
    (OrderType, None, "Represents the side of an order: either Buy or Sell."),
    (OrderStatus, None, "Represents the current status of an order."),
], ids=CLASS_NAMES)
def test_class_documentation_and_constructor_signature(cls, signature, doc):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature


METHODS = [
    (Order, "can_match", "(self, other)",
     "Determines whether this order can match with another order.\n\n# Arguments\n"
     "- `other`: The other order to match against.\n\n# Returns\n"
     "- `true` if the orders are on opposite sides and the prices are compatible."),
    (Order, "fill", "($self, incoming, tick_size)",
     "Attempts to fill this order with another incoming order.\n"
     "Updates the quantities and statuses of both orders."),
    (Order, "is_open", "($self)", "Checks if the order is still open."),
    (OrderBook, "create_order", "(self, side, price, quantity)",
     "Creates an order (but does not add to the book) based off the book's tick size."),
    # The shown signature names the keyword that add() accepts.
    (OrderBook, "add", "(self, incoming_order)",
     "Adds an order to the book, attempting to match it with resting orders."),
    (OrderBook, "cancel", "(self, order_id)", "Cancels an order by its ID."),
    (OrderBook, "get_order", "(self, order_id)",
     "Retrieves an order by its ID. Returns None if the order is not found."),
    (OrderBook, "update_order", "($self, order)",
     "Helper method to update an order in the `orders` map."),
    (OrderBook, "best_bid", "($self)", "Helper method to get best bid"),
    (OrderBook, "best_ask", "($self)", "Helper method to get best ask"),
    (OrderBook, "buy_volume", "($self)", "Helper method to calculate total buy volume"),
    (OrderBook, "sell_volume", "($self)", "Helper method to calculate total sell volume"),
    (OrderBook, "spread", "($self)",
     "Calculate the current spread in the order book.\n"
     "Returns None if there are no orders on either side.\n"
     "The spread is returned in the same units as the prices (not ticks)."),
]

PROPERTIES = [
    (Order, "id", "Getter for the order ID."),
    (Order, "side", "Getter for the order side."),
    (Order, "price_in_ticks", "Getter for the price in ticks."),
    (Order, "quantity", "Getter for the quantity."),
    (Order, "status", "Getter for the order status."),
    (Order, "timestamp", "Getter for the timestamp."),
    (Fill, "quantity", "Getter for the quantity filled."),
    (Fill, "price", "Getter for the fill price."),
    (Fill, "buy_id", "Getter for the buy order ID."),
    (Fill, "sell_id", "Getter for the sell order ID."),
    (Fill, "timestamp", "Getter for the fill timestamp."),
    (OrderBook, "buy_orders", "Get a list of all buy orders"),
    (OrderBook, "sell_orders", "Get a list of all sell orders"),
    (OrderBook, "tick_size", "Return the tick size for informational purposes"),
]


def member_ids(table):
    return [f"{row[0].__name__}.{row[1]}" for row in table]


@pytest.mark.parametrize("cls, name, signature, doc", METHODS, ids=member_ids(METHODS))
def test_method_documentation_and_signature(cls, name, signature, doc):
    method = cls.__dict__[name]
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature


@pytest.mark.parametrize("cls, name, doc", PROPERTIES, ids=member_ids(PROPERTIES))
def test_properties_are_documented_and_read_only(cls, name, doc):
    assert cls.__dict__[name].__doc__ == doc
    obj = INSTANCES[{Order: "order", Fill: "fill", OrderBook: "book"}[cls]]()
    before = repr(getattr(obj, name))
    with pytest.raises(AttributeError):
        setattr(obj, name, getattr(obj, name))
    with pytest.raises(AttributeError):
        delattr(obj, name)
    assert repr(getattr(obj, name)) == before


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_NAMES)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("make", INSTANCES.values(), ids=INSTANCES.keys())
def test_instances_take_no_new_attributes_or_weak_references(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.note = "x"
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert str(obj) == repr(obj)


@pytest.mark.parametrize("make", [INSTANCES["order"], INSTANCES["fill"], INSTANCES["book"]],
                         ids=["order", "fill", "book"])
def test_records_and_books_compare_and_hash_by_identity(make):
    first, second = make(), make()
    assert first == first and first != second
    assert hash(first) == hash(first)
    assert len({first, second, first}) == 2


@pytest.mark.parametrize("cls", [OrderType, OrderStatus], ids=["OrderType", "OrderStatus"])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((0,), {}), (("Buy",), {"value": 1})])
def test_enumerations_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as caught:
        cls(*args, **kwargs)
    assert str(caught.value) == f"No constructor defined for {cls.__name__}"


@pytest.mark.parametrize("make, name", [
    (INSTANCES["order"], "is_open"),
    (INSTANCES["book"], "best_bid"),
    (INSTANCES["book"], "best_ask"),
    (INSTANCES["book"], "buy_volume"),
    (INSTANCES["book"], "sell_volume"),
    (INSTANCES["book"], "spread"),
])
def test_methods_without_parameters_refuse_arguments(make, name):
    obj = make()
    with pytest.raises(TypeError) as caught:
        getattr(obj, name)(1)
    assert str(caught.value) == f"{type(obj).__name__}.{name}() takes no arguments (1 given)"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters refuse such modules from 3.12 on")
def test_an_isolated_subinterpreter_refused_first_does_not_lock_out_the_main_one():
    # CPython 3.12 refuses the import in an isolated subinterpreter only after the module's
    # initialisation ran; that run must not make the subinterpreter the module's owner.
    script = textwrap.dedent("""
        try:
            import _interpreters as interpreters
            interpreter = interpreters.create("isolated")
            run = interpreters.exec
        except ImportError:
            import _xxsubinterpreters as interpreters
            interpreter = interpreters.create(isolated=True)
            run = interpreters.run_string
        try:
            run(interpreter, "import varnholt")
        except Exception as error:
            assert "subinterpreters" in str(error), error
        interpreters.destroy(interpreter)
        import varnholt
        assert varnholt.OrderBook().tick_size == 0.01
    """)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(varnholt.__file__))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_a_subinterpreter_cannot_import_the_module():
    try:  # CPython 3.13 renamed the module; its default "isolated" config would refuse the import itself
        import _interpreters as interpreters
        interpreter = interpreters.create("legacy")
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interpreter = interpreters.create()
    try:
        script = (
            "try:\n"
            "    import varnholt\n"
            "except ImportError as error:\n"
            "    assert 'subinterpreters' in str(error), error\n"
            "else:\n"
            "    raise AssertionError('imported in a subinterpreter')\n"
        )
        failure = interpreters.run_string(interpreter, script)  # 3.13 returns a failure, older ones raise
        assert failure is None, failure.formatted
    finally:
        interpreters.destroy(interpreter)
    assert varnholt.OrderBook().tick_size == 0.01
