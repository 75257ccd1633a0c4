"""Every call either succeeds completely or raises with the book as it was, when any one allocation
fails: the module's own (C++) and the interpreter's (the result list, the Fill objects, tuples,
bytes). A child interpreter runs under PYTHONMALLOC=malloc with tests/faultinject.c preloaded;
for each operation of OPERATIONS it fails the 1st, 2nd, ... allocation of the call, one per try,
until the call makes fewer allocations than k, and compares the book with its saved state from
before the call after every failure. An operation is one row of the table."""
import copy
import functools
import gc
import json
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import varnholt  # noqa: E402
from conftest import book_state, buy, sell, view  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# No call here makes more; a sweep that reaches this many has lost its way.
MOST_ALLOCATIONS = 5000


def resting_book():
    """Asks at 100 (two), 101 and 103, bids at 98 and 97; the ask at 103 and the bid at 98 are
    owner 7's (refs 11 and 12), and a match between two of its orders cancels the resting one."""
    book = varnholt.OrderBook()
    book.self_trade = book.STP_CANCEL_RESTING
    for price, quantity in [(100, 1.0), (100, 2.0), (101, 1.5)]:
        book.add(sell(price, quantity))
    book.add_as(sell(103, 1.0), 11, 7)
    book.add_as(buy(98, 1.0), 12, 7)
    book.add(buy(97, 2.0))
    return book


# Made once, so that every run of a call trades the same ids.
CROSSING = buy(101, 5.0)     # takes 100, 100 and part of 101, rests nothing
NOT_CROSSING = buy(99, 1.0)
ALL_OR_NONE = buy(101, 4.5)  # exactly what the asks up to 101 hold
OWN_SWEEP = buy(103, 6.0)    # takes 100, 100 and 101, cancels owner 7's ask at 103, rests 1.5


class FeedEvents:
    """Replay events in the feed layout (their own times, so that every run's fills are the same)
    whose array interface is a plain attribute: NumPy's own property crashes the process when an
    allocation fails inside it, which is not what is tested here."""

    def __init__(self):
        import numpy as np
        B = varnholt.OrderBook
        self.array = np.array([(B.ADD, 0, 101, 2.5, 1, 0, 7), (B.POST, 1, 105, 1.0, 2, 0, 8),
                               (B.EXECUTE, 0, 0, 0.5, 2, 0, 9), (B.REPLACE, 0, 106, 2.0, 2, 3, 10)],
                              dtype=B.FEED_EVENT_FIELDS)
        self.__array_interface__ = self.array.__array_interface__


FEED = FeedEvents()
# The same events packed, in the three objects replay reads packed records from, and a result
# from another book for replay to write into (its arrays' storage reused, or replaced when short).
FEED_BYTES = FEED.array.tobytes()
FEED_BYTEARRAY = bytearray(FEED_BYTES)
FEED_MEMORYVIEW = memoryview(FEED_BYTES)
FEED_LAYOUT = varnholt.OrderBook.FEED_EVENT_FIELDS
OUT = varnholt.OrderBook().replay(FEED_BYTES[:42], layout=FEED_LAYOUT)

# name -> the call, given a fresh copy of resting_book(), the id of its lowest bid and its saved
# state, all made before the injector is armed. Each returns its result; `outcome` compares them.
OPERATIONS = {
    "add with fills": lambda book, bid, state: book.add(CROSSING),
    "add resting": lambda book, bid, state: book.add(NOT_CROSSING),
    "take": lambda book, bid, state: book.take(CROSSING),
    "take all_or_none": lambda book, bid, state: book.take(ALL_OR_NONE, True),
    "amend to a crossing price": lambda book, bid, state: book.amend(bid, None, 101),
    "amend in place": lambda book, bid, state: book.amend(bid, 0.5),
    "add_as across one's own ask": lambda book, bid, state: book.add_as(OWN_SWEEP, 13, 7),
    "amend across one's own ask": lambda book, bid, state: book.amend(book.order_id(12), None, 103),
    "replay": lambda book, bid, state: book.replay(FEED, depth=2),
    "replay with stop conditions and an owner": lambda book, bid, state: book.replay(
        FEED, depth=2, touch=True, watch=[2], queue=[11, 12], owner=7),
    "replay from bytes": lambda book, bid, state: book.replay(FEED_BYTES, depth=2, layout=FEED_LAYOUT),
    "replay from bytearray": lambda book, bid, state: book.replay(FEED_BYTEARRAY, depth=2, layout=FEED_LAYOUT),
    "replay from memoryview": lambda book, bid, state: book.replay(FEED_MEMORYVIEW, depth=2, layout=FEED_LAYOUT),
    "replay stopping on a watched fill": lambda book, bid, state: book.replay(FEED, depth=2, watch=[2], touch=True),
    "replay into out": lambda book, bid, state: book.replay(FEED_BYTES, depth=2, layout=FEED_LAYOUT, out=OUT),
    "copy": lambda book, bid, state: copy.copy(book),
    "deepcopy": lambda book, bid, state: copy.deepcopy(book),
    "pickle.dumps": lambda book, bid, state: pickle.dumps(book),
    "pickle.loads": lambda book, bid, state: pickle.loads(pickle.dumps(book)),
    "_restore": lambda book, bid, state: varnholt._restore(state),
    "depth": lambda book, bid, state: book.depth(),
    "buy_orders": lambda book, bid, state: book.buy_orders,
    "queue_position": lambda book, bid, state: book.queue_position(bid),
    "volume_at": lambda book, bid, state: book.volume_at(varnholt.OrderType.Sell, 100),
}


def prepared(saved, name):
    """A fresh book and the operation's call on it."""
    book = varnholt._restore(saved)
    return book, functools.partial(OPERATIONS[name], book, book.buy_orders[0].id, book.__reduce__()[1][0])


# What running out of memory may raise, with what its message holds: the module raises
# MemoryError, or FatalError for a result object other than an instance of its classes (README);
# pickle under CPython 3.10 reports its own failure to import varnholt as a PicklingError.
RAISED = {"builtins.MemoryError": "", "binding_runtime.FatalError": "Python API call failed",
          "_pickle.PicklingError": "import of module 'varnholt' failed"}


def results_of(result):
    """A replay's results as bytes of its four arrays."""
    import numpy as np
    return [np.asarray(getattr(result, name)).tobytes().hex() for name in ("events", "fills", "bids", "asks")]


def replayed_prefix(saved, count):
    """The results and the book of a replay of the first `count` feed events on a fresh book."""
    book = varnholt._restore(saved)
    return results_of(book.replay(FEED.array[:count], depth=2)), book.depth(100)


def outcome(result):
    """A result reduced to what must be the same in every successful run."""
    if isinstance(result, list):
        return [(f.quantity, f.price, f.buy_id, f.sell_id) if isinstance(f, varnholt.Fill) else view(f) for f in result]
    if isinstance(result, varnholt.OrderBook):
        return result.__reduce__()[1][0].hex()
    if isinstance(result, bytes):
        return pickle.loads(result).__reduce__()[1][0].hex()
    if hasattr(result, "fills"):  # a replay's results
        return results_of(result)
    return repr(result)


def state_of(book, ids):
    """The book without timestamps (an order entering again takes a new one)."""
    return [book_state(book), [None if book.get_order(i) is None else view(book.get_order(i))[:5] for i in ids]]


def sweep(name):
    """Runs in the child: fails each allocation of the call in turn; returns what went wrong."""
    import faultinject

    saved = resting_book().__reduce__()[1][0]
    template = varnholt._restore(saved)
    ids = [o.id for o in template.buy_orders + template.sell_orders]
    book, call = prepared(saved, name)
    want = outcome(call())
    want_state = state_of(book, ids)
    problems = []
    for k in range(1, MOST_ALLOCATIONS + 1):
        book, call = prepared(saved, name)
        before = book.__reduce__()[1][0]
        result = error = None
        faultinject.arm(k)
        try:
            result = call()
        except BaseException as failure:  # MemoryError, binding_runtime.FatalError
            error = failure
        fired = faultinject.disarm()
        if not fired:
            if outcome(result) != want:
                problems.append("k=%d: no failure, yet another result" % k)
            return {"allocations": k - 1, "problems": problems}
        if error is None:
            if outcome(result) != want or state_of(book, ids) != want_state:
                problems.append("k=%d: the call succeeded with another result or book" % k)
            continue
        kind = "%s.%s" % (type(error).__module__, type(error).__name__)
        if kind not in RAISED or RAISED[kind] not in str(error):
            problems.append("k=%d: raised %s: %s" % (k, kind, error))
        applied = getattr(error, "results", None)
        if applied is not None:
            # A replay stopped part-way: the events it hands back results for are applied, the
            # others are not, as a replay of just those events on the same book shows.
            if replayed_prefix(saved, len(applied.events)) != (results_of(applied), book.depth(100)):
                problems.append("k=%d: raised %s with results that are not what the book shows" % (k, kind))
        elif book.__reduce__()[1][0] != before:
            problems.append("k=%d: raised %s after changing the book" % (k, kind))
    problems.append("more than %d allocations" % MOST_ALLOCATIONS)
    return {"allocations": MOST_ALLOCATIONS, "problems": problems}


@pytest.fixture(scope="module")
def injector(tmp_path_factory):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizers replace malloc themselves")
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None or not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
        pytest.skip("no C compiler or no Python headers to build the fault injector")
    library = tmp_path_factory.mktemp("faultinject") / ("faultinject" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-I", sysconfig.get_paths()["include"],
                    os.path.join(HERE, "faultinject.c"), "-o", str(library)], check=True)
    return library


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_a_failed_allocation_leaves_the_book_as_it_was(injector, name):
    environment = dict(os.environ, PYTHONMALLOC="malloc", LD_PRELOAD=str(injector),
                       PYTHONPATH=os.pathsep.join([str(injector.parent)] + sys.path))
    run = subprocess.run([sys.executable, os.path.abspath(__file__), name], env=environment,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    report = json.loads(run.stdout.splitlines()[-1])
    assert report["problems"] == []


def reports_after_the_borrows():
    """Runs in the child: what the interpreter is made to print (through sys.excepthook) for an
    API failure inside a trade and for a FatalError raised by an argument's __float__, and whether
    the book could be read while it was printed."""
    import faultinject

    saved = resting_book().__reduce__()[1][0]
    book = None
    readings = []

    def hook(kind, value, traceback):
        try:
            book.best_ask()
            readings.append("%s: book free" % kind.__name__)
        except RuntimeError as refused:
            readings.append("%s: %s" % (kind.__name__, refused))
    sys.excepthook = hook
    fatal = None
    for k in range(1, MOST_ALLOCATIONS):
        book, call = prepared(saved, "add with fills")
        faultinject.arm(k)
        try:
            call()
        except BaseException as failure:
            fatal = failure if type(failure).__name__ == "FatalError" else None
        if not faultinject.disarm() or fatal is not None:
            break

    class Quantity:
        def __float__(self):
            raise type(fatal)("raised by __float__")
    try:
        book.amend(book.buy_orders[0].id, Quantity())
    except BaseException as failure:
        readings.append("amend raised %s" % failure)
    return readings


def test_what_the_interpreter_prints_is_printed_after_the_borrows_end(injector):
    # The printing runs sys.excepthook, Python code that may use the book.
    environment = dict(os.environ, PYTHONMALLOC="malloc", LD_PRELOAD=str(injector),
                       PYTHONPATH=os.pathsep.join([str(injector.parent)] + sys.path))
    run = subprocess.run([sys.executable, os.path.abspath(__file__), "--reports"], env=environment,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert json.loads(run.stdout.splitlines()[-1]) == [
        "MemoryError: book free", "FatalError: book free", "amend raised raised by __float__"]
    assert "a binding_runtime.FatalError was raised while converting an argument" in run.stderr


if __name__ == "__main__":
    print(json.dumps(reports_after_the_borrows() if sys.argv[1] == "--reports" else sweep(sys.argv[1])))


def test_no_collection_starts_while_a_trade_makes_its_result():
    # The result list is made while the book is borrowed; a collection started there would run
    # callbacks and finalizers whose calls on the book fail. Here every new container would start
    # one, and holding many lists leaves none spare for the interpreter to reuse.
    book = resting_book()
    met = []
    def look(phase, info):
        if phase == "start":
            try:
                book.best_bid()
            except RuntimeError as refused:
                met.append(str(refused))
    threshold = gc.get_threshold()
    gc.callbacks.append(look)
    gc.set_threshold(1)
    try:
        for incoming in (buy(101, 5.0), sell(90, 1.0)):
            held = [[] for _ in range(200)]
            assert len(book.add(incoming)) >= 1
        oid = book.buy_orders[-1].id
        held = [[] for _ in range(200)]
        assert book.amend(oid, None, 103) is not None
        del held
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(look)
    assert met == []
