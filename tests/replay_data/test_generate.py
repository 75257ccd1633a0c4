"""The seeded generators: deterministic, and awkward enough."""

import numpy as np
import pytest
from varnholt_replay.formats.itch import ItchReader
from varnholt_replay.testing.generate import write_itch, write_lobster
from varnholt_replay.testing.reference import BUY, SELL, ReferenceBook


@pytest.mark.parametrize("kind", ["lobster", "itch"])
def test_same_seed_same_bytes(tmp_path, kind):
    def written(folder, seed):
        if kind == "lobster":
            files = write_lobster(tmp_path / folder, 800, levels=3, seed=seed)
            return files.messages.read_bytes() + files.orderbook.read_bytes()
        write_itch(tmp_path / folder, 800, seed=seed)
        return (tmp_path / folder).read_bytes()

    assert written("a", 4) == written("b", 4) != written("c", 5)


def test_lobster_flow_has_the_awkward_cases(lobster_files):
    messages = np.loadtxt(lobster_files.messages, delimiter=",", usecols=(1, 2, 4, 5), dtype=np.int64)
    counts = np.bincount(messages[:, 0], minlength=8)
    assert (counts[[1, 2, 3, 4, 5, 7]] > 0).all()
    added = set(messages[messages[:, 0] == 1, 1].tolist())
    for kind in (2, 3, 4):  # partial cancels, deletes, executions of orders from before the file
        assert set(messages[messages[:, 0] == kind, 1].tolist()) - added


@pytest.mark.parametrize("levels", [1, 3])
def test_level_n_files_hold_only_what_changed_the_window(tmp_path, levels):
    """Every message of the file changes the top N levels or is a trade or a
    halt: the generator leaves out what happened further out."""
    files = write_lobster(tmp_path, 2000, levels=levels, seed=3, resting=120)
    messages = np.loadtxt(files.messages, delimiter=",", usecols=(1, 2, 3, 4, 5), dtype=np.int64)
    rows = np.loadtxt(files.orderbook, delimiter=",", dtype=np.int64)
    changed = np.ones(len(rows), dtype=bool)
    changed[1:] = (rows[1:] != rows[:-1]).any(axis=1)
    assert (changed | np.isin(messages[:, 0], [5, 6, 7])).all()
    assert files.unseen > 0


def test_reference_book_keeps_levels_in_arrival_order():
    book = ReferenceBook()
    for ref, side, price, quantity in [(1, BUY, 100, 5), (2, BUY, 100, 3), (3, BUY, 101, 1), (4, SELL, 103, 2)]:
        book.add(ref, side, price, quantity)
    book.reduce(1, 5)
    assert book.top(BUY, 2) == [(101, 1, 1), (100, 3, 1)]
    assert book.front(BUY, 100).ref == 2 and book.best(SELL) == 103


def test_itch_flow_has_the_awkward_cases(itch_file):
    path, truth = itch_file
    letters = {letter for block in ItchReader(path) for counts in block.counts.values() for letter in counts}
    assert set("AFECXDUPQBHIN") <= letters
    assert all(t.executions and t.orders for t in truth.values())
