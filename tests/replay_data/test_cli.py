"""The varnholt-replay command on one machine, and its output files."""

import io
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from varnholt_replay.cli import main
from varnholt_replay.progress import ProgressBar
from varnholt_replay.running.local import run_local
from varnholt_replay.runner import Options, make_job, replay_lobster

from .conftest import write_lines


def with_bad_line(source, target, line, text):
    lines = source.read_text().splitlines()
    lines[line - 1] = text
    return write_lines(target, lines)


def test_bad_files_are_reported_and_the_others_replayed(lobster_files, itch_file, tmp_path, capsys):
    malformed = with_bad_line(lobster_files.messages, tmp_path / "bad.csv", 10, "34200.5,1,77,100")
    truncated = tmp_path / "cut.itch"
    truncated.write_bytes(itch_file[0].read_bytes()[:-3])
    status = main([str(lobster_files.messages), str(malformed), str(tmp_path / "gone.csv"), str(itch_file[0]),
                   str(truncated), "--no-progress", "--threads", "2"])
    out = capsys.readouterr().out
    assert status == 1
    assert f"{malformed}:10: malformed message: expected 6 comma-separated fields" in out
    assert f"{tmp_path / 'gone.csv'}: No such file or directory" in out
    last_message = itch_file[0].stat().st_size - 14  # the closing system event
    assert f"{truncated}: byte offset {last_message}: truncated message" in out
    table = {line.split()[0]: line for line in out.splitlines()[1:]}
    assert " ok " in table[lobster_files.messages.stem]
    for name in itch_file[1]:  # replayed in full: the cut message was the last
        assert table[f"session:{name}"].split()[3] == table[f"cut:{name}"].split()[3]
    assert all(" error " in table[path.stem] for path in (malformed, truncated))


def test_threads_do_not_change_results(lobster_files, itch_file):
    jobs = [make_job(lobster_files.messages), make_job(itch_file[0])]
    one, two = (run_local(jobs, Options(), threads=n) for n in (1, 2))
    assert [s.key() for s in one] == [s.key() for s in two]
    assert [s.instrument for s in one] == [lobster_files.messages.stem] + [f"session:{n}" for n in itch_file[1]]


@pytest.mark.parametrize("verify", [True, False])
def test_results_are_written_as_parquet(lobster_files, itch_file, tmp_path, verify):
    pq = pytest.importorskip("pyarrow.parquet")
    options = Options(verify=verify, out_dir=str(tmp_path), snapshot_every=100, snapshot_depth=3, block_bytes=4096)
    summary = replay_lobster(make_job(lobster_files.messages), options)
    text = np.loadtxt(lobster_files.messages, delimiter=",", dtype=str)
    executed = np.flatnonzero(text[:, 1] == "4")
    stem = lobster_files.messages.stem
    table = pq.read_table(tmp_path / f"{stem}.fills.parquet")
    fills = table.to_pydict()
    assert len(fills["line"]) == summary.fills
    assert set(fills["line"]) <= set((executed + 1).tolist())
    seconds, _, fraction = np.char.partition(text[executed, 0], ".").T
    market_time = {int(line) + 1: int(s) * 10**9 + int(f.ljust(9, "0"))
                   for line, s, f in zip(executed, seconds, fraction)}
    assert fills["time"] == [market_time[line] for line in fills["line"]]
    ids = {line + 1: int(text[line, 2]) for line in executed}
    assert all(order is None or order == ids[line] for order, line in zip(fills["order_id"], fills["line"]))
    sides = {line + 1: "buy" if text[line, 5] == "-1" else "sell" for line in executed}
    assert fills["aggressor"] == [sides[line] for line in fills["line"]]
    assert set(fills["instrument"]) == {stem}
    metadata = table.schema.metadata
    assert metadata[b"source"] == str(lobster_files.messages).encode() and metadata[b"tick_size"] == b"0.0001"
    depth = pq.read_table(tmp_path / f"{stem}.depth.parquet").to_pydict()
    assert {f"bid_price_{k}" for k in (1, 2, 3)} <= depth.keys() and "bid_price_4" not in depth
    assert main([str(itch_file[0]), "--symbol", "BRAVO", "--out", str(tmp_path), "--no-progress"]) == 0
    bravo = pq.read_table(tmp_path / "session_BRAVO.fills.parquet").to_pydict()
    assert len(bravo["offset"]) == itch_file[1]["BRAVO"].executions
    assert not (tmp_path / "session_ALPHA.fills.parquet").exists()


def test_same_named_inputs_write_apart(itch_file, tmp_path, capsys):
    pytest.importorskip("pyarrow")
    copies = []
    for folder in ("d1", "d2"):
        (tmp_path / folder).mkdir()
        copies.append(shutil.copy(itch_file[0], tmp_path / folder / "day.itch"))
    assert main([*map(str, copies), "--symbol", "ALPHA", "--out", str(tmp_path / "out"), "--no-progress"]) == 0
    assert sorted(p.name for p in (tmp_path / "out").glob("*.fills.parquet")) == [
        "d1_day_ALPHA.fills.parquet", "d2_day_ALPHA.fills.parquet"]


def test_one_line_per_instrument_with_events(tmp_path, capsys):
    from .test_itch import SESSION, directory

    path = tmp_path / "many.itch"
    path.write_bytes(b"".join(SESSION + [directory(100 + k, b"IDLE%d" % k) for k in range(50)]))
    assert main([str(path), "--no-progress"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines if not line.startswith("many:ALPHA:")] == [
        "instrument", "many:ALPHA", "many:OTHER"]


def test_orderbook_given_by_option_and_divergence_status(lobster_files, tmp_path, capsys):
    messages = shutil.copy(lobster_files.messages, tmp_path / "day.csv")
    good = [str(messages), "--orderbook", str(lobster_files.orderbook), "--no-progress"]
    assert main(good) == 0
    crossed = ",".join(["1"] * 4 * lobster_files.levels)
    book = with_bad_line(lobster_files.orderbook, tmp_path / "book.csv", 7, crossed)
    assert main([str(messages), "--orderbook", str(book), "--no-progress"]) == 3
    assert "day: diverged at line 7: " in capsys.readouterr().out


@pytest.mark.parametrize("module, options, message", [
    ("pyarrow", ["--out", "."], "needs pyarrow"),
    ("distributed", ["--processes", "2"], "needs distributed"),
])
def test_a_missing_optional_package_is_a_usage_error(lobster_files, monkeypatch, capsys, module, options, message):
    monkeypatch.setitem(sys.modules, module, None)
    monkeypatch.setitem(sys.modules, f"{module}.parquet", None)
    assert main([str(lobster_files.messages), *options, "--no-progress"]) == 2
    assert message in capsys.readouterr().err


def test_a_closed_pipe_ends_quietly(itch_file):
    reader, writer = os.pipe()
    os.close(reader)  # as `| head` does once it has its lines
    done = subprocess.run([sys.executable, "-m", "varnholt_replay", str(itch_file[0]), "--no-progress"],
                          stdout=writer, stderr=subprocess.PIPE, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    os.close(writer)
    assert (done.returncode, done.stderr) == (0, b"")


@pytest.mark.parametrize("enabled", [True, False])
def test_progress_without_tqdm_is_one_text_line(monkeypatch, enabled):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    stream = io.StringIO()
    with ProgressBar(4_000_000, enabled=enabled, stream=stream) as bar:
        for _ in range(4):
            bar.advance(1_000_000)
    text = stream.getvalue()
    if enabled:
        assert text.count("\n") == 1 and "] 100.0% 4.0/4.0 MB " in text.rsplit("\r", 1)[-1]
    else:
        assert text == ""


def test_the_replay_example_runs_the_command_machinery(lobster_files, itch_file, tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "replay.py")
    run = subprocess.run([sys.executable, example, str(lobster_files.messages), str(itch_file[0])],
                         capture_output=True, text=True, timeout=120,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].split()[:3] == ["instrument", "messages", "events"]
    table = {line.split()[0]: line.split() for line in lines[1:] if ": " not in line}
    assert table[lobster_files.messages.stem][1] == f"{lobster_files.count:,}"
    assert table[lobster_files.messages.stem][-2] == "ok"
    assert set(table) == {lobster_files.messages.stem} | {f"session:{name}" for name in itch_file[1]}
