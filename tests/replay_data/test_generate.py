"""The seeded generators: deterministic, and awkward enough."""

import numpy as np
import pytest
from varnholt_replay.generate import write_itch, write_lobster
from varnholt_replay.itch import read_itch


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
    messages = np.loadtxt(lobster_files.messages, delimiter=",", usecols=(1, 2), dtype=np.int64)
    counts = np.bincount(messages[:, 0], minlength=8)
    assert (counts[[1, 2, 3, 4, 5, 7]] > 0).all()
    added = set(messages[messages[:, 0] == 1, 1].tolist())
    for kind in (2, 3, 4):  # partial cancels, deletes, executions of orders from before the file
        assert set(messages[messages[:, 0] == kind, 1].tolist()) - added


def test_itch_flow_has_the_awkward_cases(itch_file):
    path, truth = itch_file
    counts = read_itch(path).symbols
    letters = {letter for symbol in counts.values() for letter in symbol.counts}
    assert set("AFECXDUPQBHIN") <= letters
    assert all(t.executions and t.orders for t in truth.values())
