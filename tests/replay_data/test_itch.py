"""ITCH 5.0 files: message layouts, replay per symbol, bad input."""

import numpy as np
import pytest
from varnholt_replay import book as bk
from varnholt_replay.errors import InputError
from varnholt_replay.itch import read_itch
from varnholt_replay.runner import Options, make_job, read_itch_symbols, replay_symbol


def message(kind: str, locate: int, *fields: tuple[int | bytes, int]) -> bytes:
    """A message laid out field by field: (value, width) pairs after the
    common header (type, stock locate, tracking number, 6-byte timestamp)."""
    body = kind.encode() + locate.to_bytes(2, "big") + (0).to_bytes(2, "big") + (123456789).to_bytes(6, "big")
    for value, width in fields:
        body += value.ljust(width) if isinstance(value, bytes) else value.to_bytes(width, "big")
    return len(body).to_bytes(2, "big") + body


def directory(locate: int, stock: bytes) -> bytes:
    return message("R", locate, (stock, 8), (b"Q", 1), (b"N", 1), (100, 4), (b"N", 1), (b"C", 1), (b"  ", 2),
                   (b"P", 1), (b"N", 1), (b"N", 1), (b"1", 1), (b"N", 1), (0, 4), (b"N", 1))


def add(locate, ref, side, shares, price, mpid=None):
    fields = [(ref, 8), (side, 1), (shares, 4), (b"ALPHA", 8), (price, 4)]
    return message("F" if mpid else "A", locate, *fields, *([(mpid, 4)] if mpid else []))


SESSION = [
    message("S", 0, (b"O", 1)),
    directory(7, b"ALPHA"),
    directory(9, b"OTHER"),
    add(7, 5, b"S", 100, 1_000_000),
    add(7, 6, b"B", 200, 990_000, mpid=b"NSDQ"),
    add(9, 7, b"B", 10, 500_000),
    message("U", 7, (5, 8), (8, 8), (50, 4), (1_010_000, 4)),
    message("U", 7, (8, 8), (9, 8), (40, 4), (1_020_000, 4)),
    message("E", 7, (9, 8), (15, 4), (1, 8)),
    message("X", 7, (6, 8), (50, 4)),
    message("C", 7, (6, 8), (30, 4), (2, 8), (b"Y", 1), (990_100, 4)),
    message("P", 7, (0, 8), (b"B", 1), (5, 4), (b"ALPHA", 8), (995_000, 4), (3, 8)),
    message("H", 7, (b"ALPHA", 8), (b"T", 1), (b" ", 1), (b"    ", 4)),
    message("D", 7, (9, 8)),
    message("D", 7, (404, 8)),
]


@pytest.mark.parametrize("block_bytes", [40, 1 << 20])
def test_messages_become_events(tmp_path, block_bytes):
    path = tmp_path / "s.itch"
    path.write_bytes(b"".join(SESSION))
    symbols = read_itch(path, block_bytes=block_bytes).symbols
    assert [s.symbol for s in symbols.values()] == ["ALPHA", "OTHER"]
    alpha = symbols[7]
    assert alpha.events.tolist() == [
        (bk.ADD, bk.SELL, 1_000_000, 100.0, 5), (bk.ADD, bk.BUY, 990_000, 200.0, 6),
        (bk.CANCEL, bk.SELL, 1_000_000, 1.0, 5), (bk.ADD, bk.SELL, 1_010_000, 50.0, 8),
        (bk.CANCEL, bk.SELL, 1_010_000, 1.0, 8), (bk.ADD, bk.SELL, 1_020_000, 40.0, 9),
        (bk.IMMEDIATE_OR_CANCEL, bk.BUY, 1_020_000, 15.0, bk.EXECUTION_REF),
        (bk.AMEND, bk.BUY, 990_000, 150.0, 6),
        (bk.IMMEDIATE_OR_CANCEL, bk.SELL, 990_000, 30.0, bk.EXECUTION_REF),
        (bk.CANCEL, bk.SELL, 1_020_000, 1.0, 9)]
    assert alpha.expected[alpha.expected != bk.NO_REF].tolist() == [9, 6]
    starts = np.cumsum([0] + [len(m) for m in SESSION])
    assert alpha.offsets.tolist() == starts[[3, 4, 6, 6, 7, 7, 8, 9, 10, 13]].tolist()
    assert (alpha.counts["P"], alpha.counts["H"], alpha.unknown, alpha.first_unknown) == (1, 1, 1, starts[14])
    assert alpha.times.tolist() == [123456789] * 10


def test_symbols_replay_to_the_reference(itch_file):
    path, truth = itch_file
    job = make_job(path)
    symbols, failure = read_itch_symbols(job, Options(block_bytes=1 << 16))
    assert failure is None and [s.symbol for s in symbols] == list(truth)
    for symbol in symbols:
        expected = truth[symbol.symbol]
        summary = replay_symbol(job, symbol)
        assert (summary.violations, summary.rejected, summary.orphans) == (0, 0, 0)
        assert (summary.fills, summary.volume) == (expected.executions, expected.volume)
        assert summary.notional == pytest.approx(expected.notional * bk.TICK_SIZE)


@pytest.mark.parametrize("wanted", [["BRAVO"], ["CHARLIE", "ALPHA"]])
def test_chosen_symbols_give_the_same_books(itch_file, wanted):
    path, truth = itch_file
    chosen = read_itch(path, wanted).symbols.values()
    assert sorted(s.symbol for s in chosen) == sorted(wanted)
    for symbol in chosen:
        book = bk.new_book()
        book.replay(symbol.events)
        bids, asks = bk.top_levels(book, 10)
        for got, levels in ((bids, truth[symbol.symbol].bids), (asks, truth[symbol.symbol].asks)):
            padded = levels + [(0, 0, 0)] * (10 - len(levels))
            assert got[["price_in_ticks", "quantity", "orders"]].tolist() == padded


def corrupt(data: bytes, how: str) -> tuple[bytes, int]:
    """The session with one fault, and the byte offset it must be reported at."""
    starts = np.cumsum([0] + [len(m) for m in SESSION]).tolist()
    if how == "truncated":
        return data[:-5], starts[-2]
    if how == "cut length":
        return data + b"\x00", len(data)
    at = starts[9]  # the X message
    if how == "unknown type":
        return data[:at + 2] + b"Z" + data[at + 3:], at
    return data[:at] + (24).to_bytes(2, "big") + data[at + 2:] + b"\x00", at  # wrong length


@pytest.mark.parametrize("how, reason", [
    ("truncated", "truncated message: 19 bytes announced, 14 left"),
    ("cut length", "ends inside a length prefix"),
    ("unknown type", "unknown message type 'Z'"),
    ("wrong length", "message type 'X' has length 24, expected 23"),
])
def test_bad_input_names_the_byte_offset(tmp_path, how, reason):
    data, offset = corrupt(b"".join(SESSION), how)
    path = tmp_path / "bad.itch"
    path.write_bytes(data)
    with pytest.raises(InputError) as caught:
        read_itch(path, block_bytes=64)
    assert (caught.value.path, caught.value.offset) == (str(path), offset)
    assert reason in str(caught.value)


def test_references_of_any_size(tmp_path):
    base = 2**63 + 12345  # no room left beside them for the grouping's index
    shifted = [add(7, base + 5, b"S", 100, 1_000_000), add(7, base + 6, b"B", 200, 990_000),
               message("U", 7, (base + 5, 8), (base + 8, 8), (50, 4), (1_010_000, 4)),
               message("E", 7, (base + 8, 8), (15, 4), (1, 8)), message("D", 7, (base + 6, 8))]
    path = tmp_path / "big-refs.itch"
    path.write_bytes(b"".join([SESSION[1]] + shifted))
    alpha = read_itch(path, block_bytes=50).symbols[7]
    assert alpha.events[["kind", "side", "ref"]].tolist() == [
        (bk.ADD, bk.SELL, base + 5), (bk.ADD, bk.BUY, base + 6), (bk.CANCEL, bk.SELL, base + 5),
        (bk.ADD, bk.SELL, base + 8), (bk.IMMEDIATE_OR_CANCEL, bk.BUY, bk.EXECUTION_REF), (bk.CANCEL, bk.BUY, base + 6)]
