"""LOBSTER files: reading, translating to events, replaying with verification."""

import csv
import shutil

import numpy as np
import pytest
from varnholt_replay import book as bk
from varnholt_replay.errors import InputError
from varnholt_replay.lobster import LobsterTranslator, read_messages
from varnholt_replay.runner import Options, make_job, replay_lobster


def write(path, lines):
    path.write_text("".join(",".join(map(str, line)) + "\n" for line in lines))
    return path


def lobster_pair(tmp_path, messages, rows=None, levels=1):
    """Message lines (time, type, id, size, price, direction) and orderbook rows."""
    stem = f"X_2020-01-02_34200000_57600000_%s_{levels}.csv"
    write(tmp_path / (stem % "message"), [(f"{34200 + i}.5", *m) for i, m in enumerate(messages)])
    if rows is not None:
        write(tmp_path / (stem % "orderbook"), rows)
    return make_job(tmp_path / (stem % "message"))


@pytest.mark.parametrize("block_bytes", [200, 5000, 1 << 21])
def test_messages_read_like_csv(lobster_files, block_bytes):
    with open(lobster_files.messages, newline="") as source:
        expected = [[float(r[0])] + [int(v) for v in r[1:]] for r in csv.reader(source)]
    blocks = list(read_messages(lobster_files.messages, block_bytes=block_bytes, with_time=True))
    got = np.column_stack([np.concatenate([getattr(b, f) for b in blocks])
                           for f in ("time", "type", "order_id", "size", "price", "direction")])
    assert np.array_equal(got[:, 1:], np.array(expected, dtype=np.int64)[:, 1:])
    assert np.allclose(got[:, 0], [row[0] for row in expected], rtol=0, atol=1e-9)
    assert [b.first_line for b in blocks] == list(np.cumsum([1] + [len(b) for b in blocks[:-1]]))


@pytest.mark.parametrize("bad, reason", [
    ("34200.1,1,5,100,10000", "6 comma-separated fields"),
    ("34200.1,9,5,100,10000,1", "event type must be 1 to 7"),
    ("34200.1,1,5,100,10000,2", "direction must be 1 or -1"),
    ("34200.1,1,5,1x0,10000,1", "not an integer"),
    ("34200.1,1,5,0,10000,1", "size must be positive"),
    ("34200,1,5,100,10000,1", "6 comma-separated fields"),
])
@pytest.mark.parametrize("block_bytes", [300, 1 << 20])
def test_malformed_row_names_file_and_line(tmp_path, bad, reason, block_bytes):
    lines = [f"34200.{i},1,{i + 1},100,10000,1" for i in range(300)]
    lines[156] = bad
    path = tmp_path / "m.csv"
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(InputError) as caught:
        for _ in read_messages(path, block_bytes=block_bytes):
            pass
    assert (caught.value.path, caught.value.line) == (str(path), 157)
    assert reason in str(caught.value) and bad in str(caught.value)


@pytest.mark.parametrize("ending, final", [(b"\r\n", b"\r\n"), (b"\n", b""), (b"\r\n", b"")])
def test_line_ends_and_a_missing_last_newline(tmp_path, ending, final):
    lines = [b"34200.%d,1,%d,100,10000,-1" % (i, i + 1) for i in range(50)]
    path = tmp_path / "m.csv"
    path.write_bytes(ending.join(lines) + final)
    ids = np.concatenate([m.order_id for m in read_messages(path, block_bytes=128)])
    assert ids.tolist() == list(range(1, 51))


@pytest.mark.parametrize("split", [0, 2, 3, 4])
def test_open_quantity_is_carried_across_blocks(tmp_path, split):
    messages = [(1, 1, 100, 10000, 1), (1, 2, 50, 10000, 1), (4, 1, 30, 10000, 1),
                (2, 1, 20, 10000, 1), (5, 0, 7, 10000, 1), (3, 2, 50, 10000, 1)]
    path = write(tmp_path / "m.csv", [(f"34200.{i}", *m) for i, m in enumerate(messages)])
    block = next(iter(read_messages(path)))
    translator, book = LobsterTranslator(), bk.new_book()
    events, fills = [], []
    for part in (block.part(0, split), block.part(split, len(block))):
        t = translator.translate(part)
        result = book.replay(t.events)
        events += t.events.tolist()
        fills += np.asarray(result.fills)[["resting_ref", "price_in_ticks", "quantity"]].tolist()
    assert events == [(bk.ADD, 0, 10000, 100.0, 1), (bk.ADD, 0, 10000, 50.0, 2),
                      (bk.IMMEDIATE_OR_CANCEL, 1, 10000, 30.0, bk.EXECUTION_REF),
                      (bk.AMEND, 0, 10000, 50.0, 1), (bk.CANCEL, 0, 10000, 50.0, 2)]
    assert fills == [(1, 10000, 30.0)]
    bids, _ = bk.top_levels(book, 2)
    assert bids[["price_in_ticks", "quantity", "orders"]].tolist() == [(10000, 50.0, 1), (0, 0.0, 0)]


# Before the file: bids at 10000 of orders 901 (100) and 902 (200), an ask at
# 10100 of order 903 (100).  Rows show one level: ask price, size, bid price, size.
OLD_ORDERS = [
    pytest.param([(1, 1, 100, 10000, 1), (2, 902, 50, 10000, 1), (4, 901, 100, 10000, 1),
                  (3, 902, 150, 10000, 1), (4, 1, 40, 10000, 1), (3, 903, 100, 10100, -1)],
                 [(10100, 100, 10000, 400), (10100, 100, 10000, 350), (10100, 100, 10000, 250),
                  (10100, 100, 10000, 100), (10100, 100, 10000, 60), (9999999999, 0, 10000, 60)],
                 id="first message adds"),
    pytest.param([(3, 903, 100, 10100, -1), (4, 901, 60, 10000, 1), (1, 1, 100, 10000, 1),
                  (4, 901, 40, 10000, 1), (4, 902, 200, 10000, 1), (4, 1, 100, 10000, 1)],
                 [(9999999999, 0, 10000, 300), (9999999999, 0, 10000, 240), (9999999999, 0, 10000, 340),
                  (9999999999, 0, 10000, 300), (9999999999, 0, 10000, 100), (9999999999, 0, -9999999999, 0)],
                 id="first message empties a level"),
]


@pytest.mark.parametrize("messages, rows", OLD_ORDERS)
def test_orders_from_before_the_file_act_on_stand_ins(tmp_path, messages, rows):
    summary = replay_lobster(lobster_pair(tmp_path, messages, rows))
    assert summary.verification == "ok (6 rows)", summary
    assert (summary.violations, summary.orphans, summary.rejected) == (0, 0, 0)
    assert summary.volume == sum(size for kind, _, size, _, _ in messages if kind == 4)


def test_old_orders_of_a_level_coming_into_view_go_in_front(tmp_path):
    # Before the file: bids 10000 (order 901: 100) and, out of view of a
    # one-level file, 9900 (902: 50, 903: 70); an ask 10100 (904: 100).
    messages = [(1, 1, 30, 9900, 1), (3, 903, 70, 9900, 1), (3, 901, 100, 10000, 1),
                (4, 902, 50, 9900, 1), (4, 1, 30, 9900, 1)]
    rows = [(10100, 100, 10000, 100), (10100, 100, 10000, 100), (10100, 100, 9900, 80),
            (10100, 100, 9900, 30), (10100, 100, -9999999999, 0)]
    summary = replay_lobster(lobster_pair(tmp_path, messages, rows))
    assert summary.verification == "ok (5 rows)"
    assert (summary.violations, summary.orphans, summary.fills) == (0, 1, 2)


@pytest.mark.parametrize("block_bytes", [4096, 1 << 21])
def test_generated_flow_verifies(lobster_files, block_bytes):
    summary = replay_lobster(make_job(lobster_files.messages), Options(block_bytes=block_bytes))
    types = np.loadtxt(lobster_files.messages, delimiter=",", usecols=(1, 3), dtype=np.int64)
    executed = types[types[:, 0] == 4, 1]
    assert summary.verification == f"ok ({lobster_files.count:,} rows)"
    assert (summary.error, summary.violations, summary.rejected) == (None, 0, 0)
    assert (summary.fills, summary.volume) == (len(executed), executed.sum())
    assert summary.skipped["hidden execute"] == np.count_nonzero(types[:, 0] == 5)


def plant(lobster_files, tmp_path, where, line):
    """Copies the files, with one wrong size at ``line`` of the message or orderbook file."""
    job = make_job(shutil.copy(lobster_files.messages, tmp_path), shutil.copy(lobster_files.orderbook, tmp_path))
    target = job.path if where == "message" else job.orderbook
    lines = open(target).read().splitlines()
    messages = [r.split(",") for r in open(job.path).read().splitlines()]
    rows = [r.split(",") for r in open(job.orderbook).read().splitlines()]
    # from ``line`` on, the first add whose price shows in the row after it
    while not (messages[line - 1][1] == "1" and messages[line - 1][4] in rows[line - 1]):
        line += 1
    fields = lines[line - 1].split(",")
    column = 3 if where == "message" else 1
    fields[column] = str(int(fields[column]) + 1)
    lines[line - 1] = ",".join(fields)
    open(target, "w").write("\n".join(lines) + "\n")
    return job, line


@pytest.mark.parametrize("line", [2, 1500, 3990])
@pytest.mark.parametrize("where, resync_divergences", [("message", 1), ("orderbook", 2)])
def test_planted_divergence_is_found_at_its_line(lobster_files, tmp_path, line, where, resync_divergences):
    job, line = plant(lobster_files, tmp_path, where, line)
    stopped = replay_lobster(job, Options(block_bytes=4096))
    assert stopped.divergences == 1
    assert stopped.verification.startswith(f"diverged at line {line}: ")
    resynced = replay_lobster(job, Options(block_bytes=4096, on_divergence="resync"))
    assert resynced.divergences == resync_divergences
    assert f" at line {line}: " in resynced.verification
    assert resynced.messages == lobster_files.count


def test_execution_of_an_order_behind_another_is_a_violation(tmp_path):
    job = lobster_pair(tmp_path, [(1, 1, 100, 10000, 1), (1, 2, 100, 10000, 1), (4, 2, 100, 10000, 1)])
    summary = replay_lobster(job)
    assert summary.violations == 1
    assert summary.first_violation.startswith("line 3: execution of order 2 traded first with order 1")


@pytest.mark.parametrize("bad, reason", [("1,2,3", "20 comma-separated fields"),
                                         ("5850100,-5" + ",1" * 18, "not an integer")])
def test_malformed_orderbook_row_names_its_line(lobster_files, tmp_path, bad, reason):
    rows = lobster_files.orderbook.read_text().splitlines()
    rows[2999] = bad
    book = tmp_path / "book.csv"
    book.write_text("\n".join(rows) + "\n")
    summary = replay_lobster(make_job(lobster_files.messages, book), Options(block_bytes=8192))
    assert summary.error.startswith(f"{book}:3000: malformed orderbook row (5 levels): ")
    assert reason in summary.error
