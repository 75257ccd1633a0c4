"""Vectorised parsing and writing of comma-separated integers."""

import random

import numpy as np
import pytest
from varnholt_replay.csvscan import PAD, Layout, ScanError, scan
from varnholt_replay.textio import BlockReader
from varnholt_replay.textwrite import format_lines


def scanned(text: bytes, layout: Layout):
    raw = np.frombuffer(bytes(PAD) + text, dtype=np.uint8)
    return scan(raw, PAD, raw.size, layout)


def random_values(rng: random.Random, count: int, signed: bool) -> list[int]:
    values = []
    for _ in range(count):
        digits = rng.randint(1, 16)
        value = rng.randrange(10 ** (digits - 1) if digits > 1 else 0, 10**digits)
        values.append(-value if signed and rng.random() < 0.3 else value)
    return values


@pytest.mark.parametrize("fields", [1, 3, 7])
@pytest.mark.parametrize("signed", [False, True])
def test_reads_every_length_and_sign(fields, signed):
    rng = random.Random(fields * 2 + signed)
    rows = [random_values(rng, fields, signed) for _ in range(500)]
    text = b"".join(b",".join(b"%d" % v for v in row) + b"\n" for row in rows)
    tokens = scanned(text, Layout.csv(fields, signed))
    got = np.stack([tokens.integer(j) for j in range(fields)], axis=1)
    assert got.tolist() == rows


def test_reads_zero_padded_and_decimal_tokens():
    tokens = scanned(b"34200.004241176,-1\n0.5,1\n", Layout(b".,\n", frozenset({2})))
    assert tokens.unsigned(0).tolist() == [34200, 0]
    assert tokens.unsigned(1).tolist() == [4241176, 5]
    assert tokens.lengths(1).tolist() == [9, 1]
    assert tokens.digit(2).tolist() == [-1, 1]


@pytest.mark.parametrize("text, row, reason", [
    (b"1,2,3\n4,5\n6,7,8\n", 1, "3 comma-separated fields"),
    (b"1,2,3\n4,5,6,7\n", 1, "3 comma-separated fields"),
    (b"1,2,3\n4,,6\n", 1, "field 2 has no digits"),
    (b"1,2,3\n4,5,6\n7,x,9\n", 2, "not an integer"),
    (b"1,2,3\n4,5 ,6\n", 1, "3 comma-separated fields"),
    (b"1,2,3\n4,-5,6\n", 1, "not an integer"),  # unsigned layout
    (b"1,2,3\n4,12345678901234567,6\n", 1, "more than 16 digits"),
    (b"1,2,3\n4,5", 1, "3 comma-separated fields"),
])
def test_names_the_first_bad_line(text, row, reason):
    with pytest.raises(ScanError) as caught:
        tokens = scanned(text, Layout.csv(3))
        for j in range(3):
            tokens.unsigned(j)
    assert caught.value.row == row
    assert reason in caught.value.reason


@pytest.mark.parametrize("seed", [1, 2])
def test_written_text_reads_back(seed):
    rng = np.random.default_rng(seed)
    columns = [rng.integers(-10**12, 10**12, 300), rng.integers(0, 10**9, 300), rng.integers(0, 10, 300)]
    text = format_lines(columns, b",.\n", zero_padded=[(1, 9)])
    expected = b"".join(b"%d,%09d.%d\n" % row for row in zip(*(c.tolist() for c in columns)))
    assert text == expected


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
