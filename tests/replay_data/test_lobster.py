"""LOBSTER files: reading, feed events, and verification under the level model."""

import csv
import shutil
import zipfile

import numpy as np
import pytest
from varnholt_replay import book as bk
from varnholt_replay.errors import InputError
from varnholt_replay.formats.lobster import read_messages
from varnholt_replay.runner import Options, make_job, replay_lobster
from varnholt_replay.testing.generate import write_lobster

from .conftest import lobster_pair, real_lobster_prefix, write_lines

ASK_PAD = 9999999999


@pytest.mark.parametrize("block_bytes", [200, 5000, 1 << 21])
def test_messages_read_like_csv(lobster_files, block_bytes):
    with open(lobster_files.messages, newline="") as source:
        expected = [r for r in csv.reader(source)]
    blocks = list(read_messages(lobster_files.messages, block_bytes=block_bytes))
    got = np.column_stack([np.concatenate([getattr(b, f) for b in blocks])
                           for f in ("type", "order_id", "size", "price", "direction")])
    assert np.array_equal(got, np.array([r[1:] for r in expected], dtype=np.int64))
    seconds, _, fraction = zip(*(r[0].partition(".") for r in expected))
    exact = [int(s) * 10**9 + int(f.ljust(9, "0")) for s, f in zip(seconds, fraction)]
    assert np.concatenate([b.time for b in blocks]).tolist() == exact
    assert [b.first_line for b in blocks] == list(np.cumsum([1] + [len(b) for b in blocks[:-1]]))


def test_feed_events_and_their_fills_carry_each_messages_time(tmp_path):
    # A new order, a partial execution, a visible execution of what is left, each at its own time.
    path = write_lines(tmp_path / "m.csv", ["34200.000000001,1,5,100,10000,-1", "34200.5,4,5,30,10000,-1",
                                            "57599.999999999,4,5,70,10000,-1"])
    messages = next(read_messages(path))
    events, applied = messages.events()
    assert events["timestamp"].tolist() == messages.time[applied].tolist() == [
        34_200_000_000_001, 34_200_500_000_000, 57_599_999_999_999]
    fills = np.asarray(bk.OrderBook(bk.TICK_SIZE).replay(events).fills)
    assert fills[["resting_ref", "timestamp"]].tolist() == [(5, 34_200_500_000_000), (5, 57_599_999_999_999)]


@pytest.mark.parametrize("text, nanoseconds", [
    ("34200.1", 34_200_100_000_000),
    ("34200.000000001", 34_200_000_000_001),
    ("34200.189607670", 34_200_189_607_670),
    ("34200.18960767", 34_200_189_607_670),  # a double of these digits times 1e9 is 1 ns off
    ("43002.632812672004", 43_002_632_812_672),  # more than nine decimals: to the nearest ns
    ("43002.9999999996", 43_003_000_000_000),
    ("57599", None),  # no decimals: refused (the layout has a decimal point)
])
def test_times_are_exact_integer_nanoseconds(tmp_path, text, nanoseconds):
    path = write_lines(tmp_path / "m.csv", [f"{text},1,1,100,10000,1"])
    if nanoseconds is None:
        with pytest.raises(InputError, match="6 comma-separated fields"):
            list(read_messages(path))
        return
    assert next(read_messages(path)).time.tolist() == [nanoseconds]


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
    path = write_lines(tmp_path / "m.csv", lines)
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


# One level a side: rows are ask price, ask size, bid price, bid size.
WIDE_FILES = pytest.mark.parametrize("header, attribution", [
    ("", ""), ("Time,Type,OrderID,Size,Price,Direction\n", ""), ("", ",null"), ("time,type,id,size,price,dir,mpid\n", ",MSCO"),
])


@WIDE_FILES
def test_a_header_line_and_an_attribution_column_are_read(tmp_path, header, attribution):
    messages = [(1, 1, 100, 10000, 1), (6, -1, 500, 10000, 1), (7, 0, 0, -1, -1), (7, 0, 0, 0, -1),
                (7, 0, 0, 1, -1), (4, 1, 40, 10000, 1)]
    rows = [(ASK_PAD, 0, 10000, 100)] * 5 + [(ASK_PAD, 0, 10000, 60)]
    job = lobster_pair(tmp_path, messages, rows, header=header, attribution=attribution)
    summary = replay_lobster(job)
    assert (summary.error, summary.verification) == (None, "ok (6 rows)")
    assert summary.skipped == {"cross trade": 1, "halt": 3}
    assert (summary.messages, summary.events, summary.fills, summary.volume) == (6, 2, 1, 40.0)
    if header:  # lines keep their numbers in the file
        assert next(read_messages(job.path)).first_line == 2


# Each row of these files is the book after its message, as LOBSTER writes them.
LEVEL_N_CASES = [
    pytest.param(  # level 1: 1000050 filled up unseen while out of view, then comes into view
        [(1, 1, 100, 1000000, 1), (1, 2, 50, 1000100, 1), (3, 2, 50, 1000100, 1)],
        [(1010000, 100, 1000000, 100), (1010000, 100, 1000100, 50), (1010000, 100, 1000050, 70)],
        dict(stand_ins=1, folds=0), id="a level comes into view with volume the file never showed"),
    pytest.param(  # level 1: order 1 at 1000000 was deleted unseen while 1000100 was the best
        [(1, 1, 100, 1000000, 1), (1, 2, 50, 1000100, 1), (3, 2, 50, 1000100, 1)],
        [(1010000, 100, 1000000, 100), (1010000, 100, 1000100, 50), (1010000, 100, 1000000, 30)],
        dict(stand_ins=1, folds=1), id="a level comes back with less than the file left there"),
    pytest.param(  # level 1: the best bid empties and nothing shows further out
        [(1, 1, 100, 1000000, 1), (1, 2, 50, 1000100, 1), (3, 2, 50, 1000100, 1)],
        [(1010000, 100, 1000000, 100), (1010000, 100, 1000100, 50), (1010000, 100, -9999999999, 0)],
        dict(stand_ins=1, folds=1), id="a level the file showed is gone when the side comes back"),
    pytest.param(  # AMZN 2012-06-21 at level 5 around line 62350: order 1 lost 100 out of view, 150 came unseen
        [(1, 1, 200, 1000000, 1), (1, 2, 50, 1000100, 1), (3, 2, 50, 1000100, 1), (3, 1, 100, 1000000, 1)],
        [(1010000, 100, 1000000, 200), (1010000, 100, 1000100, 50), (1010000, 100, 1000000, 250),
         (1010000, 100, 1000000, 150)],
        dict(stand_ins=1, folds=0), id="a deletion of an order that lost volume unseen"),
    pytest.param(  # GOOG 2012-06-21 at level 1 around line 22966: the second of two orders trades
        [(1, 1, 100, 5711200, -1), (1, 2, 100, 5711200, -1), (4, 2, 100, 5711200, -1), (3, 1, 100, 5711200, -1)],
        [(5711200, 100, 5700000, 300), (5711200, 200, 5700000, 300), (5711200, 100, 5700000, 300),
         (5712000, 200, 5700000, 300)],
        dict(behind_front=1, executions=1, stand_ins=1), id="an execution of an order behind another"),
    pytest.param(  # orders from before the file, on both sides, and a message about one in view
        [(4, 901, 60, 10000, 1), (1, 1, 100, 10000, 1), (2, 902, 50, 10000, 1), (3, 903, 100, 10100, -1)],
        [(10100, 100, 10000, 240), (10100, 100, 10000, 340), (10100, 100, 10000, 290), (10200, 10, 10000, 290)],
        dict(executions=1, stand_ins=1), id="orders from before the file act on stand-ins"),
    pytest.param(  # two hidden executions: the book never changes within the block
        [(5, 0, 100, 10000, 1), (5, 0, 30, 10100, -1)],
        [(10100, 10, 10000, 20), (10100, 10, 10000, 20)],
        dict(executions=0), id="a block without any book event"),
]


@pytest.mark.parametrize("messages, rows, counts", LEVEL_N_CASES)
@pytest.mark.parametrize("block_bytes", [64, 1 << 20])
def test_level_n_files_verify(tmp_path, messages, rows, counts, block_bytes):
    summary = replay_lobster(lobster_pair(tmp_path, messages, rows), Options(block_bytes=block_bytes))
    assert (summary.error, summary.verification) == (None, f"ok ({len(messages)} rows)")
    assert (summary.rejected, summary.orphans, summary.messages) == (0, 0, len(messages))
    assert {name: getattr(summary, name) for name in counts} == counts
    assert summary.volume == sum(size for kind, _, size, _, _ in messages if kind == 4)


def test_a_level_inside_both_windows_must_match(tmp_path):
    # 1000000 is the best bid in both rows: the 30 lots that went missing are a divergence
    job = lobster_pair(tmp_path, [(1, 1, 100, 1000000, 1), (1, 2, 50, 1000000, 1), (1, 3, 10, 990000, 1)],
                       [(1010000, 100, 1000000, 100), (1010000, 100, 1000000, 150), (1010000, 100, 1000000, 120)])
    summary = replay_lobster(job)
    assert summary.verification.startswith("diverged at line 3: bid level 1: expected size 120 at 1000000, "
                                           "book has 150 at 1000000")
    assert summary.messages == 3  # what was replayed, up to the divergence


@pytest.mark.parametrize("extra_rows", [1, 5])
def test_rows_beyond_the_last_message_are_a_failure(tmp_path, extra_rows):
    rows = [(ASK_PAD, 0, 10000, 100)] * (2 + extra_rows)
    summary = replay_lobster(lobster_pair(tmp_path, [(1, 1, 100, 10000, 1), (5, 0, 5, 10000, 1)], rows))
    assert summary.divergences == 1
    assert "the orderbook file goes on after the last message (its line 3)" in summary.verification


def test_a_shorter_orderbook_file_is_an_error_after_the_rows_it_has(tmp_path):
    job = lobster_pair(tmp_path, [(1, 1, 100, 10000, 1), (1, 2, 100, 10000, 1)], [(ASK_PAD, 0, 10000, 100)])
    summary = replay_lobster(job)
    assert summary.error == f"{job.orderbook}: ends after 1 rows, before the messages do"
    assert summary.messages == 1


@pytest.mark.parametrize("levels", [1, 5, 10])
def test_generated_level_n_files_verify(tmp_path, levels):
    files = write_lobster(tmp_path, 3000, levels=levels, seed=levels, resting=150)
    summary = replay_lobster(make_job(files.messages), Options(block_bytes=8192))
    types = np.loadtxt(files.messages, delimiter=",", usecols=(1, 3), dtype=np.int64)
    executed = types[types[:, 0] == 4, 1]
    assert summary.verification == f"ok ({files.count:,} rows)"
    assert (summary.error, summary.rejected, summary.orphans) == (None, 0, 0)
    assert (summary.fills, summary.volume) == (len(executed), executed.sum())
    assert summary.behind_front > 0
    assert files.unseen > 0 and summary.stand_ins > 0 and summary.folds > 0  # the model is exercised
    assert summary.skipped["hidden execute"] == np.count_nonzero(types[:, 0] == 5)


def plant(lobster_files, tmp_path, where, line):
    """Copies the files, with one wrong size at ``line`` of the message or orderbook file."""
    job = make_job(shutil.copy(lobster_files.messages, tmp_path), shutil.copy(lobster_files.orderbook, tmp_path))
    target = job.path if where == "message" else job.orderbook
    lines = open(target).read().splitlines()
    messages = [r.split(",") for r in open(job.path).read().splitlines()]
    rows = [r.split(",") for r in open(job.orderbook).read().splitlines()]
    # from ``line`` on, the first add whose price shows in the row before it (inside both windows)
    while not (messages[line - 1][1] == "1" and line > 1 and messages[line - 1][4] in rows[line - 2][:-4]
               and messages[line - 1][4] in rows[line - 1]):
        line += 1
    fields = lines[line - 1].split(",")
    column = 3 if where == "message" else rows[line - 1].index(messages[line - 1][4]) + 1
    fields[column] = str(int(fields[column]) + 1)
    lines[line - 1] = ",".join(fields)
    open(target, "w").write("\n".join(lines) + "\n")
    return job, line


@pytest.mark.parametrize("line", [2, 1500, 3990])
@pytest.mark.parametrize("where", ["message", "orderbook"])
def test_planted_divergence_is_found_at_its_line(lobster_files, tmp_path, line, where):
    job, line = plant(lobster_files, tmp_path, where, line)
    stopped = replay_lobster(job, Options(block_bytes=4096))
    assert stopped.divergences == 1
    assert stopped.verification.startswith(f"diverged at line {line}: ")
    assert stopped.messages == line
    resynced = replay_lobster(job, Options(block_bytes=4096, on_divergence="resync"))
    assert resynced.divergences >= 1
    assert f" at line {line}: " in resynced.verification
    assert resynced.messages == lobster_files.count


@pytest.mark.parametrize("bad, reason", [("1,2,3", "20 comma-separated fields"),
                                         ("5850100,-5" + ",1" * 18, "not an integer")])
def test_malformed_orderbook_row_names_its_line(lobster_files, tmp_path, bad, reason):
    rows = lobster_files.orderbook.read_text().splitlines()
    rows[2999] = bad
    book = write_lines(tmp_path / "book.csv", rows)
    summary = replay_lobster(make_job(lobster_files.messages, book), Options(block_bytes=8192))
    assert summary.error.startswith(f"{book}:3000: malformed orderbook row (5 levels): ")
    assert reason in summary.error


def test_files_are_read_from_a_zip_archive_as_lobster_ships_them(lobster_files, tmp_path):
    archive = tmp_path / "LOBSTER_SampleFile_TEST_5.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as bundle:
        for path in (lobster_files.messages, lobster_files.orderbook):
            bundle.write(path, path.name)
        bundle.writestr("LOBSTER_SampleFiles_ReadMe.txt", "read me")
    job = make_job(f"{archive}/{lobster_files.messages.name}")
    assert job.orderbook == f"{archive}/{lobster_files.orderbook.name}"
    assert make_job(archive) == job  # an archive of one message file stands for it
    inside, outside = replay_lobster(job), replay_lobster(make_job(lobster_files.messages))
    assert inside.key()[1:] == outside.key()[1:]


@pytest.mark.parametrize("name", ["AMZN_2012-06-21_1", "AMZN_2012-06-21_5", "GOOG_2012-06-21_10"])
def test_real_files_verify(tmp_path, request, name):
    job = real_lobster_prefix(tmp_path, name, None if request.config.getoption("--real-data-full") else 20_000)
    summary = replay_lobster(job)
    assert (summary.error, summary.divergences, summary.rejected, summary.orphans) == (None, 0, 0, 0)
    assert summary.verification.startswith("ok (")
    assert summary.executions > 0 and summary.behind_front < summary.executions
    assert summary.stand_ins > 0


def replayed(job, monkeypatch, message_by_message):
    """The summary of a verified replay and every event it sent to the book, with the level
    model walking the block in array passes or (forced) message by message."""
    from varnholt_replay import runner
    from varnholt_replay.formats.lobster import LevelModel
    sent = []
    replay_batch = runner.replay_batch
    with monkeypatch.context() as patch:
        patch.setattr(runner, "replay_batch", lambda book, events, **kw: sent.append(events.copy())
                      or replay_batch(book, events, **kw))
        if message_by_message:
            patch.setattr(LevelModel, "_walk_fast", lambda *args: None)
        summary = replay_lobster(job, Options(block_bytes=4096))
    return summary, np.concatenate(sent)


@pytest.mark.parametrize("source", ["case", "generated", "real"])
def test_the_array_walk_gives_the_events_of_the_message_walk(tmp_path, monkeypatch, source):
    if source == "real":
        jobs = [real_lobster_prefix(tmp_path, "AMZN_2012-06-21_1", 6000)]
    elif source == "generated":
        jobs = [make_job(write_lobster(tmp_path / str(levels), 3000, levels=levels, seed=levels + 20,
                                       resting=150).messages) for levels in (1, 5, 10)]
    else:
        jobs = []
        for i, case in enumerate(LEVEL_N_CASES):
            (tmp_path / str(i)).mkdir()
            jobs.append(lobster_pair(tmp_path / str(i), *case.values[:2]))
    for job in jobs:
        fast, fast_events = replayed(job, monkeypatch, False)
        slow, slow_events = replayed(job, monkeypatch, True)
        assert fast.verification.startswith("ok") and fast.key() == slow.key()
        assert (fast.stand_ins, fast.folds, fast.behind_front) == (slow.stand_ins, slow.folds, slow.behind_front)
        assert fast_events.tobytes() == slow_events.tobytes()
