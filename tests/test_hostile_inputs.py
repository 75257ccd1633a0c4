"""Hostile-input fuzzing of OrderBook, Order, Fill and the enumerations.

Long random sequences of calls run on one book, a pool of orders and the reference
model of model.py.  Besides the well-formed operations of test_book_model.py, every
call here may bind its arguments wrongly (too many, unknown or repeated keywords,
missing ones) and pass hostile arguments: wrong types, int and str subclasses, huge
integers, NaN, infinities, -0.0, lone surrogates, and objects whose __float__ or
__index__ raise, return the wrong type, or call back into the book or an order that
the running call holds (the inner call must get "Already borrowed" / "Already mutably
borrowed", the outer one must complete).  The expected outcome of every call is worked
out beforehand: the binding error, else the first failing conversion in parameter
order (its exception type, message and cause, and which hooks ran), else the model's
result.  Only successful operations reach the model.  After every step the book must
agree with the model, hold its ordering invariants, and nothing may stay borrowed.

The default run is bounded (VARNHOLT_FUZZ_EXAMPLES, default 250 examples of 50 steps,
about 20 seconds).  A long run, with the counts printed at the end:

    VARNHOLT_FUZZ_EXAMPLES=20000 python3 -m pytest -s -p no:cacheprovider tests/test_hostile_inputs.py

(about 20 minutes; Hypothesis keeps its tree of explored choices, some 2 GB by then).
"""
import math
import operator
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import invariant, rule

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from varnholt import Fill, Order, OrderBook, OrderStatus, OrderType  # noqa: E402
from model import OPEN, ModelBook, can_match, fill as model_fill, fixed  # noqa: E402
from test_book_model import (INDEX, QUANTITIES, TICK_SIZES, BookMachine, bits,  # noqa: E402
                             check_fill, check_level, check_order, normal)

EXAMPLES = int(os.environ.get("VARNHOLT_FUZZ_EXAMPLES", "250"))
settings.register_profile("hostile", max_examples=EXAMPLES, stateful_step_count=50, deadline=None,
                          suppress_health_check=list(HealthCheck))
COUNTS = dict.fromkeys(["examples", "steps", "hostile calls", "hooks run"], 0)
DOCUMENTED = (TypeError, OverflowError, ValueError, RuntimeError, UnicodeEncodeError)
POOL_LIMIT = 40
PROBE_ID = "probe: not an order id"


HookError = type("HookError", (Exception,), {})
IntSub = type("IntSub", (int,), {})
StrSub = type("StrSub", (str,), {})


class FloatSub(float):
    def __float__(self):          # a float subclass is read directly, never through __float__
        return -1234.5


class Hook:
    """Number-like argument.  Its conversion first runs `action` (a call back into the
    book or an order) and records the inner outcome, then returns `value`, raises
    HookError ("raise"), raises TypeError with a cause ("type") or returns a str ("wrong")."""

    def __init__(self, mode, value, action=None):
        self.mode, self.value, self.action, self.calls, self.inner = mode, value, action, 0, None

    def outcome(self):
        if self.mode == "raise":
            raise HookError("raised by hook")
        if self.mode == "type":
            raise TypeError("refused by hook") from KeyError("cause")
        return "wrong" if self.mode == "wrong" else self.value

    def _convert(self):
        self.calls += 1
        COUNTS["hooks run"] += 1
        if self.action is not None:
            self.inner = attempt(self.action[2])
        return self.outcome()

    def __repr__(self):
        return "%s(%r, %r, %s)" % (type(self).__name__, self.mode, self.value,
                                   self.action and self.action[:2])


class FloatHook(Hook):
    __float__ = Hook._convert


class IndexHook(Hook):
    __index__ = Hook._convert


def attempt(call):
    try:
        return ("ok", normal(call()))
    except RuntimeError as error:
        return ("RuntimeError", str(error))


# --- what the binding must make of an argument --------------------------------------------------

def wrong_type(x, target):
    return TypeError("'%s' object cannot be converted to '%s'" % (type(x).__qualname__, target))


def checked_index(hook):
    value = hook.outcome()
    if not isinstance(value, int):
        raise TypeError("__index__ returned non-int (type %s)" % type(value).__name__)
    return value


def to_double(x):
    if isinstance(x, FloatHook):
        value = x.outcome()
        if type(value) is not float:
            raise TypeError("FloatHook.__float__ returned non-float (type %s)" % type(value).__name__)
        return value
    if isinstance(x, IndexHook):
        return float(checked_index(x))
    return math.ldexp(x, 0)           # the interpreter's own double conversion


def to_integer(low, high):
    def convert(x):
        if isinstance(x, IndexHook):
            value = checked_index(x)
        elif isinstance(x, FloatHook):
            raise TypeError("'FloatHook' object cannot be interpreted as an integer")
        else:
            value = operator.index(x)
        if not low <= value < high:
            raise OverflowError
        return int(value)
    return convert


def to_text(x):
    if not isinstance(x, str):
        raise wrong_type(x, "PyString")
    x.encode("utf-8")                 # UnicodeEncodeError for lone surrogates
    return str(x)


def to_instance(cls):
    def convert(x):
        if not isinstance(x, cls):
            raise wrong_type(x, cls.__name__)
        return x
    return convert


def or_none(convert):
    return lambda x: None if x is None else convert(x)


CONVERT = {"double": to_double, "int64": to_integer(-2**63, 2**63), "uint64": to_integer(0, 2**64),
           "text": to_text, "order": to_instance(Order), "side": to_instance(OrderType), "bool": bool}
CONVERT.update({"double?": or_none(to_double), "int64?": or_none(CONVERT["int64"])})
CLASSES = {"Order": Order, "Fill": Fill, "OrderBook": OrderBook}
RUNS_HOOK = {"double": Hook, "int64": IndexHook, "uint64": IndexHook, "double?": Hook, "int64?": IndexHook}
# Values of the parameters that may be left out, by method.
DEFAULTS = {("OrderBook", "tick_size"): 0.01, ("depth", "levels"): 10, ("take", "all_or_none"): False,
            ("amend", "quantity"): None, ("amend", "price_in_ticks"): None}
# How each method with parameters borrows the book while it converts them.
BOOK_ACCESS = {"create_order": "shared", "depth": "shared", "volume_at": "shared", "take": "exclusive",
               "amend": "exclusive", "order_id": "shared"}

# name: (display name, receiver, [(parameter, conversion kind)], number required)
METHODS = {
    "Order": ("Order.__new__()", None, [("side", "side"), ("price_in_ticks", "int64"), ("quantity", "double")], 3),
    "Fill": ("Fill.__new__()", None, [("quantity", "double"), ("price", "double"), ("buy_id", "text"),
                                      ("sell_id", "text"), ("timestamp", "uint64")], 5),
    "OrderBook": ("OrderBook.__new__()", None, [("tick_size", "double")], 0),
    "add": ("OrderBook.add()", "book", [("incoming_order", "order")], 1),
    "cancel": ("OrderBook.cancel()", "book", [("order_id", "text")], 1),
    "get_order": ("OrderBook.get_order()", "book", [("order_id", "text")], 1),
    "update_order": ("OrderBook.update_order()", "book", [("order", "order")], 1),
    "create_order": ("OrderBook.create_order()", "book", [("side", "side"), ("price", "double"),
                                                         ("quantity", "double")], 3),
    "can_match": ("Order.can_match()", "order", [("other", "order")], 1),
    "fill": ("Order.fill()", "order", [("incoming", "order"), ("tick_size", "double")], 2),
    "depth": ("OrderBook.depth()", "book", [("levels", "uint64")], 0),
    "volume_at": ("OrderBook.volume_at()", "book", [("side", "side"), ("price_in_ticks", "int64")], 2),
    "queue_position": ("OrderBook.queue_position()", "book", [("order_id", "text")], 1),
    "take": ("OrderBook.take()", "book", [("order", "order"), ("all_or_none", "bool")], 1),
    "amend": ("OrderBook.amend()", "book", [("order_id", "text"), ("quantity", "double?"),
                                            ("price_in_ticks", "int64?")], 1),
    "order_id": ("OrderBook.order_id()", "book", [("ref", "uint64")], 1),
}

HUGE = [2**63, 2**63 - 1, -2**63, -2**63 - 1, 2**64, 2**64 - 1, 10**400]
HOSTILE = {
    "side": [0, 1, True, "Buy", OrderStatus.Open, OrderStatus.Filled, None, IntSub(1)],
    "int64": HUGE + [0, -5, True, False, IntSub(100), IntSub(-1), 1.5, 100.0, "100", None, OrderType.Sell],
    "uint64": HUGE + [-1, 0, True, IntSub(7), 1.0, "1", None],
    "double": HUGE + [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1e308, True,
                      IntSub(2), FloatSub(2.5), FloatSub(-0.0), "1.0", None, b"1", [], OrderType.Buy],
    "text": [5, None, b"id", StrSub(""), "\ud800", "id\udfff", OrderType.Buy],
    "order": [None, "order", 7, OrderType.Buy, Fill(1.0, 1.0, "b", "s", 0)],
    "bool": [0, 1, 2**70, -0.0, math.nan, None, "", "x", [], OrderType.Buy],
}
HOSTILE["double?"], HOSTILE["int64?"] = HOSTILE["double"], HOSTILE["int64"]
ENUMS = [OrderType.Buy, OrderType.Sell, OrderStatus.Open, OrderStatus.Filled, OrderStatus.Canceled]
NO_ARGUMENTS = {"book": ["best_bid", "best_ask", "buy_volume", "sell_volume", "spread", "forget_filled"],
                "order": ["is_open"]}
SHAPES = st.sampled_from(["positional"] * 4 + ["keywords"] * 3 + ["too many", "unexpected", "multiple", "missing"])


class HostileMachine(BookMachine):
    """The well-formed rules of BookMachine plus the hostile ones below."""

    def __init__(self):
        super().__init__()
        COUNTS["examples"] += 1

    def _twin(self, order):
        return next(twin for real, twin in self.pool if real is order)

    def _keep(self, real):
        if len(self.pool) < POOL_LIMIT:
            super()._keep(real)

    # --- argument strategies ------------------------------------------------------------------
    def _valid(self, data, name, param, kind):
        if kind == "side":
            return data.draw(st.sampled_from([OrderType.Buy, OrderType.Sell]))
        if kind == "order":
            return self._pick(data.draw(INDEX))[0]
        if kind == "text":
            if name == "Fill":
                return data.draw(st.text(max_size=40))
            return self._some_id(data.draw(INDEX))
        if kind == "uint64":
            if name == "depth":
                return data.draw(st.one_of(st.integers(0, 12), st.sampled_from([2**63, 2**64 - 1])))
            return data.draw(st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([2**63 - 1, 2**63, 2**64 - 1])))
        if kind == "bool":
            return data.draw(st.booleans())
        if kind.endswith("?"):
            if data.draw(st.booleans()):
                return None
            kind = kind[:-1]
        if kind == "int64":
            return data.draw(st.integers(95, 105))
        if param == "tick_size":
            return data.draw(TICK_SIZES)
        if param == "price" and name == "create_order":
            return data.draw(st.integers(95, 105)) * self.model.tick_size
        return data.draw(st.one_of(QUANTITIES, st.floats()) if name == "Fill" else QUANTITIES)

    def _action(self, data, near):
        """A call back into the book or an order (mostly one the running call holds);
        when it succeeds it changes nothing."""
        what = data.draw(st.sampled_from(["best_bid", "cancel", "is_open", "fill", "as argument"]))
        if what in ("best_bid", "cancel"):
            call = self.book.best_bid if what == "best_bid" else (lambda: self.book.cancel(PROBE_ID))
            ok = self.model.best_bid() if what == "best_bid" else False
            return (self.book, "read" if what == "best_bid" else "write", call, normal(ok))
        near = [o for o in near if isinstance(o, Order)]
        if near and data.draw(st.integers(0, 3)):
            target = data.draw(st.sampled_from(near))
            twin = self._twin(target)
        else:
            target, twin = self._pick(data.draw(INDEX))
        probe = Order(target.side, 1, 1.0)
        calls = {"is_open": (target.is_open, "read", twin.is_open()),
                 "fill": (lambda: target.fill(probe, 0.01), "write", None),
                 "as argument": (lambda: probe.can_match(target), "read", False)}
        call, access, ok = calls[what]
        return (target, access, call, ok)

    def _argument(self, data, name, param, kind, choices, near=()):
        choice = data.draw(st.sampled_from(choices))
        if choice == "valid":
            return self._valid(data, name, param, kind)
        if choice == "hostile":
            values = HOSTILE[kind]
            if kind == "text":
                known = self._some_id(data.draw(INDEX))
                values = values + [StrSub(known), known + "\udc80", known + "\x00", known[:8] + "\x00" + known[9:]]
            return data.draw(st.sampled_from(values))
        cls = data.draw(st.sampled_from([FloatHook, IndexHook]))
        mode = data.draw(st.sampled_from(["value"] * 3 + ["raise", "type", "wrong"]))
        value = self._valid(data, name, param, "double" if cls is FloatHook else "int64")
        if cls is IndexHook and kind in ("double", "uint64"):
            value = data.draw(st.sampled_from([2, 100, 2**64 - 1] + HUGE))
        action = self._action(data, near) if data.draw(st.booleans()) else None
        return cls(mode, value, action)

    # --- the hostile call ---------------------------------------------------------------------
    @rule(data=st.data())
    def hostile_calls(self, data):
        for _ in range(data.draw(st.integers(1, 5), label="calls")):
            self.hostile_call(data)

    def hostile_call(self, data):
        COUNTS["hostile calls"] += 1
        name = data.draw(st.sampled_from(list(METHODS) + ["create_order", "fill", "Order"]), label="method")
        display, receiver_kind, params, required = METHODS[name]
        receiver = self._pick(data.draw(INDEX))[0] if receiver_kind == "order" else None
        # All arguments well-formed, exactly one of them hostile, or any of them.
        plan = data.draw(st.sampled_from(["clean", "one", "one", "any"]), label="plan")
        odd = data.draw(st.integers(0, len(params) - 1)) if plan == "one" else None
        values = []
        for i, (p, kind) in enumerate(params):
            values.append(self._argument(data, name, p, kind, ["valid"] if plan == "clean" or (
                plan == "one" and i != odd) else ["hostile", "hook", "hook"] if plan == "one" else
                ["valid"] * 6 + ["hostile", "hostile", "hook", "hook"], [receiver] + values))
        names = [p for p, _ in params]
        shape = data.draw(SHAPES, label="shape")
        if shape == "missing" and required == 0:
            shape = "unexpected"
        error = None
        if shape in ("positional", "too many"):
            cut = len(params) if shape == "too many" else data.draw(st.integers(required, len(params)))
            args, kwargs = values[:cut], {}
            if shape == "too many":
                args.append(data.draw(st.sampled_from([0, None, values[-1]])))
                span = "%d" % len(params) if required == len(params) else "from %d to %d" % (required, len(params))
                error = (TypeError, "%s takes %s positional arguments but %d %s given" % (
                    display, span, len(args), "was" if len(args) == 1 else "were"))
        else:
            cut = data.draw(st.integers(1 if shape == "multiple" else 0, len(params)))
            args = values[:cut]
            rest = data.draw(st.permutations(range(cut, len(params))))
            if shape == "missing":
                dropped = data.draw(st.sets(st.sampled_from(rest), min_size=1)) if rest else set()
                missing = [names[i] for i in sorted(dropped) if i < required]
                rest = [i for i in rest if i not in dropped]
                if missing:
                    quoted = ["'%s'" % n for n in missing]
                    listed = (quoted[0] if len(quoted) == 1 else " and ".join(quoted) if len(quoted) == 2
                              else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
                    error = (TypeError, "%s missing %d required positional argument%s: %s" % (
                        display, len(missing), "" if len(missing) == 1 else "s", listed))
            keys = [names[i] for i in rest]
            if shape in ("unexpected", "multiple"):
                key = (data.draw(st.sampled_from(["bogus", "\ud800", names[0].upper(), names[0] + "\x00", "id"]))
                       if shape == "unexpected" else names[data.draw(st.integers(0, cut - 1))])
                keys.insert(data.draw(st.integers(0, len(keys))), key)
                error = (TypeError, "%s got %s '%s'" % (display, "an unexpected keyword argument"
                                                         if shape == "unexpected" else
                                                         "multiple values for argument", key))
            kwargs = {k: (values[names.index(k)] if k in names else 1) for k in keys}
        given = dict(zip(names, args))
        given.update((k, v) for k, v in kwargs.items() if k in names)
        target = (CLASSES[name] if receiver_kind is None else
                  getattr(self.book if receiver_kind == "book" else receiver, name))
        outcome = self._run(name, receiver, params, given, error, lambda: target(*args, **kwargs))
        if outcome is not None:
            self._compare(name, receiver, *outcome, data)

    def _run(self, name, receiver, params, given, error, call):
        """Predicts binding and conversion, makes the call, checks hooks; returns
        (converted arguments, result) when the call got as far as the operation."""
        held = {}
        if name in BOOK_ACCESS:
            held[id(self.book)] = BOOK_ACCESS[name]
        if name == "fill":
            held[id(receiver)] = "exclusive"
        converted, hooks_due, cause = {}, set(), None
        if error is None:
            for param, kind in params:
                if param not in given:
                    converted[param] = DEFAULTS[name, param]
                    continue
                x = given[param]
                if isinstance(x, RUNS_HOOK.get(kind, ())):
                    hooks_due.add(id(x))
                    if x.action is not None:
                        state, access = held.get(id(x.action[0])), x.action[1]
                        x.expected = (("ok", x.action[3]) if state is None or (state, access) == ("shared", "read")
                                      else ("RuntimeError", "Already borrowed" if access == "write"
                                            else "Already mutably borrowed"))
                try:
                    converted[param] = CONVERT[kind](x)
                except TypeError as inner:
                    error = (TypeError, "argument '%s': %s" % (param, inner))
                    cause = KeyError if id(x) in hooks_due and x.mode == "type" else type(None)
                    break
                except (HookError, OverflowError, UnicodeEncodeError) as inner:
                    error = (type(inner), str(inner) if isinstance(inner, HookError) else None)
                    break
                if name == "fill" and param == "incoming":
                    if id(x) in held:
                        error = (RuntimeError, "Already borrowed")
                        break
                    held[id(x)] = "exclusive"
        try:
            result = ("ok", call())
        except BaseException as raised:
            assert isinstance(raised, DOCUMENTED + (HookError,)), repr(raised)
            result = ("raise", raised)
        for hook in {id(v): v for v in given.values()}.values():
            if isinstance(hook, Hook):
                assert hook.calls == (1 if id(hook) in hooks_due else 0), (hook, error)
                if hook.calls and hook.action is not None:
                    assert hook.inner == hook.expected, (hook, hook.inner, hook.expected)
        if error is None:
            return converted, *result
        raised = result[1]
        assert result[0] == "raise" and type(raised) is error[0], (error, result)
        assert error[1] is None or str(raised) == error[1]
        assert cause is None or type(raised.__cause__) is cause

    def _compare(self, name, receiver, conv, status, result, data):
        """The operation itself, against the model (which changes only when it succeeds)."""
        model, twin, want = self.model, self._twin, None
        try:
            if name == "Order":
                if conv["price_in_ticks"] <= 0 or conv["quantity"] <= 0:
                    raise ValueError("%s must be positive" % (
                        "price_in_ticks" if conv["price_in_ticks"] <= 0 else "quantity"))
            elif name == "add":
                want = model.add(twin(conv["incoming_order"]))
            elif name in ("cancel", "get_order"):
                want = getattr(model, name)(conv["order_id"])
            elif name == "update_order":
                want = model.update_order(twin(conv["order"]))
            elif name == "create_order":
                want = model.create_order(int(conv["side"]), conv["price"], conv["quantity"])
            elif name == "can_match":
                want = can_match(twin(receiver), twin(conv["other"]))
            elif name == "fill":
                want = model_fill(twin(receiver), twin(conv["incoming"]), conv["tick_size"])
            elif name == "depth":
                want = model.depth(conv["levels"])
            elif name == "volume_at":
                want = model.volume_at(int(conv["side"]), conv["price_in_ticks"])
            elif name == "queue_position":
                want = model.queue_position(conv["order_id"])
            elif name == "order_id":
                want = model.order_id(conv["ref"])
            elif name == "take":
                want = model.take(twin(conv["order"]), conv["all_or_none"])
            elif name == "amend":
                recorded = self.book.get_order(conv["order_id"])  # the timestamp of an order entered again
                want = model.amend(conv["order_id"], conv["quantity"], conv["price_in_ticks"],
                                   recorded.timestamp if recorded else 0)
        except ValueError as refused:
            assert status == "raise" and type(result) is ValueError and str(result) == str(refused), result
            return
        assert status == "ok", result
        if name in ("Order", "create_order"):
            assert (int(result.side), result.price_in_ticks, bits(result.quantity), int(result.status)) == (
                (int(conv["side"]), conv["price_in_ticks"], bits(conv["quantity"]), OPEN) if name == "Order"
                else (want.side, want.price_in_ticks, bits(want.quantity), OPEN))
            self._keep(result)
        elif name == "Fill":
            q, p, b, s, t = (conv[k] for k in ("quantity", "price", "buy_id", "sell_id", "timestamp"))
            assert (bits(result.quantity), bits(result.price), result.buy_id, result.sell_id,
                    result.timestamp) == (bits(q), bits(p), b, s, t)
            assert repr(result) == "[%s @ %s] Buy: %s, Sell: %s, Filled at %d" % (fixed(q, 2), fixed(p, 2), b, s, t)
        elif name == "OrderBook":
            assert bits(result.tick_size) == bits(conv["tick_size"]) and result.buy_orders == []
            if data.draw(st.integers(0, 3)) == 0:      # carry on with the new book
                self.book, self.model = result, ModelBook(conv["tick_size"])
        elif name in ("add", "take") or (name == "amend" and want is not None):
            assert len(result) == len(want)
            for got_fill, want_fill in zip(result, want):
                check_fill(got_fill, want_fill)
        elif name in ("depth", "volume_at", "queue_position"):
            assert normal(result) == normal(want)
        elif name == "order_id":
            assert result == want
        elif name == "get_order":
            check_order(result, want)
        elif name == "fill":
            check_fill(result, want)
        else:
            assert result is want

    @rule(data=st.data())
    def hostile_extras(self, data):
        """Arguments given to methods without parameters, and enumerations compared with
        anything: a failed comparison never raises, ordering always does."""
        COUNTS["hostile calls"] += 1
        kind = data.draw(st.sampled_from(["book", "order", "enum", "unbound"]))
        if kind == "unbound":       # a method or property of one class applied to another's object
            order = self._pick(0)[0]
            cls, member, args = data.draw(st.sampled_from([
                (Order, "fill", (order, 0.01)), (Order, "is_open", ()), (Order, "__repr__", ()),
                (OrderBook, "add", (order,)), (OrderBook, "best_bid", ()), (Fill, "__repr__", ()),
                (Order, "id", None), (OrderBook, "buy_orders", None), (Fill, "price", None)]))
            other = data.draw(st.sampled_from([self.book, order, OrderType.Buy, Fill(1, 1, "b", "s", 0)]))
            if not isinstance(other, cls):
                attribute = getattr(cls, member)
                with pytest.raises(TypeError, match="descriptor '%s'" % member):
                    attribute.__get__(other) if args is None else attribute(other, *args)
            return
        if kind == "enum":
            member = data.draw(st.sampled_from(ENUMS))
            other = data.draw(st.sampled_from(ENUMS + HOSTILE["double"] + HOSTILE["int64"] + [
                FloatHook("value", 0.0), IndexHook("value", 1), IndexHook("raise", 0), IndexHook("wrong", 0)]))
            try:
                number = (int(other) if type(other) is type(member) else None if isinstance(other, (
                    OrderType, OrderStatus)) else to_integer(-2**63, 2**63)(other))
            except (TypeError, OverflowError, HookError):
                number = None
            assert (member == other) is (number == int(member))
            assert (member != other) is (number != int(member))
            with pytest.raises(TypeError):
                member < other  # noqa: B015
            return
        receiver = self.book if kind == "book" else self._pick(data.draw(INDEX))[0]
        method = data.draw(st.sampled_from(NO_ARGUMENTS[kind]))
        qualified = "%s.%s()" % (type(receiver).__name__, method)
        extra = data.draw(st.sampled_from([(1,), ("\ud800",), (None, None)]))
        with pytest.raises(TypeError, match="^%s$" % re.escape("%s takes no arguments (%d given)" % (
                qualified, len(extra)))):
            getattr(receiver, method)(*extra)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            getattr(receiver, method)(key=1)

    @invariant()
    def structure_holds_and_nothing_stays_borrowed(self):
        COUNTS["steps"] += 1
        book = self.book
        if book is None:
            return
        for listing in (book.buy_orders, book.sell_orders):
            prices = [o.price_in_ticks for o in listing]
            assert prices == sorted(prices)
            assert all(o.status == OrderStatus.Open and o.is_open() for o in listing)
        bid, ask = book.best_bid(), book.best_ask()
        check_level(bid, self.model.best_bid())
        if bid is not None and ask is not None:
            assert bid[0] < ask[0]
        assert book.cancel(PROBE_ID) is False        # an exclusive borrow of the book succeeds
        for real, _ in self.pool:                    # ... and of every order
            assert real.fill(Order(real.side, 1, 1.0), 0.0) is None


HostileMachine.TestCase.settings = settings.get_profile("hostile")
TestHostileInputs = HostileMachine.TestCase


@pytest.fixture(scope="module", autouse=True)
def report_counts(request):
    yield
    capture = request.config.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled():
        print("\nhostile-input fuzzer: %s" % ", ".join("%d %s" % (n, k) for k, n in COUNTS.items()))
