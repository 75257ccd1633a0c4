"""The carried state of the readers: grouping, live orders, blocks of lines."""

import random

import numpy as np
import pytest
from varnholt_replay.orders import Groups, LiveOrders, sort_order
from varnholt_replay.textio import BlockReader


@pytest.mark.parametrize("high", [2**20, 2**40, 2**63 + 2**40])  # the last one leaves no room for the index
def test_grouping_is_a_stable_sort(high):
    keys = np.random.default_rng(3).integers(0, 50, 5000, dtype=np.uint64) * np.uint64(high // 50)
    assert np.array_equal(sort_order(keys), np.argsort(keys, kind="stable"))
    groups = Groups.of(keys)
    assert np.array_equal(groups.keys, np.unique(keys))
    assert np.array_equal(keys[groups.heads], groups.keys)


@pytest.mark.parametrize("seed", range(3))
def test_live_orders_follow_a_plain_ledger_across_blocks(seed):
    rng = random.Random(seed)
    ledger: dict[int, list[int]] = {}  # ref -> [side, price, open]
    live, next_ref = LiveOrders(), 1
    for _ in range(20):
        refs, delta, ends, side, price, expected = [], [], [], [], [], []
        for _ in range(rng.randint(0, 60)):
            known = [r for r in ledger if ledger[r][2] > 0]
            if not known or rng.random() < 0.4:
                ref, size = next_ref, rng.randint(1, 500)
                next_ref += rng.randint(1, 3)
                ledger[ref] = [rng.randint(0, 1), rng.randint(1, 99), size]
                change, end = size, False
            else:
                ref = rng.choice(known)
                end = rng.random() < 0.3
                change = 0 if end else -rng.randint(1, ledger[ref][2])
                ledger[ref][2] = 0 if end else ledger[ref][2] + change
            refs.append(ref)
            delta.append(change)
            ends.append(end)
            side.append(ledger[ref][0])
            price.append(ledger[ref][1])
            expected.append(ledger[ref][2])
        after = live.apply(np.array(refs, np.uint64), np.array(delta, np.int64), np.array(ends, bool),
                           np.array(side, np.uint8), np.array(price, np.int64), arrival=np.arange(len(refs)))
        assert after.tolist() == expected
        alive = sorted((r, *v) for r, v in ledger.items() if v[2] > 0)
        assert list(zip(live.refs.tolist(), live.side.tolist(), live.price.tolist(), live.open.tolist())) == alive


@pytest.mark.parametrize("block_bytes", [64, 100, 5000])
@pytest.mark.parametrize("ending", [b"\n", b"\r\n"])
def test_blocks_hold_whole_lines_even_longer_than_a_block(tmp_path, block_bytes, ending):
    lines = [b"%d," % i * (i % 7 * 40 + 1) for i in range(60)]
    path = tmp_path / "lines.csv"
    path.write_bytes(ending.join(lines) + ending)
    texts, ends = [], []
    for block in BlockReader(path, block_bytes):  # a block's bytes last until the next block
        texts.append(block.raw[block.start:block.stop].tobytes())
        ends.append(block.end_offset)
    assert b"".join(texts) == b"\n".join(lines) + b"\n"
    assert ends[-1] == path.stat().st_size
