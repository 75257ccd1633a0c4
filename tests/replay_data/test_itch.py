"""ITCH 5.0 files: message layouts, replay per symbol, bad input."""

import numpy as np
import pytest
from varnholt import OrderBook
from varnholt_replay import book as bk
from varnholt_replay.errors import InputError
from varnholt_replay.formats.itch import ItchReader
from varnholt_replay.runner import Options, make_job, replay_itch


def message(kind: str, locate: int, *fields: tuple[int | bytes, int], time: int = 123456789) -> bytes:
    """A message laid out field by field: (value, width) pairs after the
    common header (type, stock locate, tracking number, 6-byte timestamp)."""
    body = kind.encode() + locate.to_bytes(2, "big") + (0xFFFF).to_bytes(2, "big") + time.to_bytes(6, "big")
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


def read(path, symbols=None, block_bytes=1 << 20):
    """Every block of an ITCH file, and the reader (for its directory)."""
    reader = ItchReader(path, symbols, block_bytes)
    return list(reader), reader


def joined(blocks, locate):
    parts = [b.symbols[locate] for b in blocks if locate in b.symbols]
    return np.concatenate([p.events for p in parts]), np.concatenate([p.offsets for p in parts])


@pytest.mark.parametrize("block_bytes", [40, 1 << 20])
def test_each_message_becomes_one_feed_event(tmp_path, block_bytes):
    path = tmp_path / "s.itch"
    path.write_bytes(b"".join(SESSION))
    blocks, reader = read(path, block_bytes=block_bytes)
    assert reader.names == {7: "ALPHA", 9: "OTHER"}
    events, offsets = joined(blocks, 7)
    B = OrderBook
    assert events[["kind", "side", "price_in_ticks", "quantity", "ref", "new_ref"]].tolist() == [
        (B.POST, bk.SELL, 1_000_000, 100.0, 5, B.NO_REF), (B.POST, bk.BUY, 990_000, 200.0, 6, B.NO_REF),
        (B.REPLACE, 0, 1_010_000, 50.0, 5, 8), (B.REPLACE, 0, 1_020_000, 40.0, 8, 9),
        (B.EXECUTE, 0, 0, 15.0, 9, B.NO_REF), (B.REDUCE, 0, 0, 50.0, 6, B.NO_REF),
        (B.EXECUTE, 0, 0, 30.0, 6, B.NO_REF), (B.CANCEL, 0, 0, 0.0, 9, B.NO_REF),
        (B.CANCEL, 0, 0, 0.0, 404, B.NO_REF)]
    starts = np.cumsum([0] + [len(m) for m in SESSION])
    assert offsets.tolist() == starts[[3, 4, 6, 7, 8, 9, 10, 13, 14]].tolist()
    assert events["timestamp"].tolist() == [123456789] * 9


def test_events_and_their_fills_carry_each_messages_time(tmp_path):
    # Times up to the 6-byte field's top, each its own, beside a tracking number of all ones.
    times = [34_200_000_000_000 + 7 * k for k in range(3)] + [2**48 - 1]
    path = tmp_path / "t.itch"
    path.write_bytes(b"".join([directory(7, b"ALPHA"),
                               message("A", 7, (5, 8), (b"S", 1), (100, 4), (b"ALPHA", 8), (1_000_000, 4), time=times[0]),
                               message("E", 7, (5, 8), (15, 4), (1, 8), time=times[1]),
                               message("U", 7, (5, 8), (8, 8), (50, 4), (1_010_000, 4), time=times[2]),
                               message("E", 7, (8, 8), (50, 4), (2, 8), time=times[3])]))
    events, _ = joined(read(path)[0], 7)
    assert events["timestamp"].tolist() == times
    fills = np.asarray(OrderBook(bk.TICK_SIZE).replay(events).fills)
    assert fills[["resting_ref", "timestamp"]].tolist() == [(5, times[1]), (8, times[3])]


def test_symbols_replay_to_the_reference(itch_file):
    path, truth = itch_file
    summaries = replay_itch(make_job(path), Options(block_bytes=1 << 16))
    assert [s.instrument for s in summaries] == [f"session:{name}" for name in truth]
    for summary in summaries:
        expected = truth[summary.instrument.split(":")[1]]
        assert (summary.error, summary.rejected, summary.orphans) == (None, 0, 0)
        assert (summary.fills, summary.volume) == (expected.executions, expected.volume)
        assert summary.notional == pytest.approx(expected.notional * bk.TICK_SIZE)


@pytest.mark.parametrize("wanted", [["BRAVO"], ["CHARLIE", "ALPHA"]])
def test_chosen_symbols_give_the_same_books(itch_file, wanted):
    path, truth = itch_file
    blocks, reader = read(path, wanted, block_bytes=1 << 15)
    chosen = {locate for b in blocks for locate in b.symbols}
    assert sorted(reader.names[c] for c in chosen) == sorted(wanted)
    for locate in chosen:
        book = bk.new_book()
        book.replay(joined(blocks, locate)[0])
        bids, asks = bk.top_levels(book, 10)
        for got, levels in ((bids, truth[reader.names[locate]].bids), (asks, truth[reader.names[locate]].asks)):
            padded = levels + [(0, 0, 0)] * (10 - len(levels))
            assert got[["price_in_ticks", "quantity", "orders"]].tolist() == padded


def test_a_crossed_add_rests_without_trading(tmp_path):
    path = tmp_path / "crossed.itch"
    path.write_bytes(b"".join([SESSION[1], add(7, 1, b"S", 100, 1_000_000), add(7, 2, b"B", 70, 1_010_000)]))
    [summary] = replay_itch(make_job(path))
    assert (summary.fills, summary.volume, summary.rejected) == (0, 0.0, 0)
    assert (summary.bid, summary.ask) == ((101.0, 70.0), (100.0, 100.0))  # the book is crossed, as the feed says


def corrupt(data: bytes, how: str) -> tuple[bytes, int, int]:
    """The session with one fault, the byte offset it must be reported at,
    and how many of ALPHA's events come before it."""
    starts = np.cumsum([0] + [len(m) for m in SESSION]).tolist()
    if how == "truncated":
        return data[:-5], starts[-2], 8
    if how == "cut length":
        return data + b"\x00", len(data), 9
    at = starts[9]  # the X message
    if how == "unknown type":
        return data[:at + 2] + b"Z" + data[at + 3:], at, 5
    if how == "length 0 inside":
        return data[:at] + b"\x00\x00" + data[at:], at, 5
    if how == "length 0 at the end":
        return data + b"\x00\x00", len(data), 9
    return data[:at] + (24).to_bytes(2, "big") + data[at + 2:] + b"\x00", at, 5  # wrong length


@pytest.mark.parametrize("how, reason", [
    ("truncated", "truncated message: 19 bytes announced, 14 left"),
    ("cut length", "truncated message: the file ends inside a length prefix"),
    ("unknown type", "unknown message type 'Z'"),
    ("wrong length", "message type 'X' has length 24, expected 23"),
    ("length 0 inside", "message of length 0"),
    ("length 0 at the end", "message of length 0"),
])
@pytest.mark.parametrize("block_bytes", [64, 1 << 20])
def test_bad_input_stops_after_the_complete_messages_and_names_the_byte_offset(tmp_path, how, reason, block_bytes):
    data, offset, before = corrupt(b"".join(SESSION), how)
    path = tmp_path / "bad.itch"
    path.write_bytes(data)
    summaries = replay_itch(make_job(path), Options(block_bytes=block_bytes))
    *symbols, failure = summaries
    assert failure.error.startswith(f"{path}: byte offset {offset}: {reason}")
    assert symbols[0].instrument == "bad:ALPHA" and symbols[0].events == before


def test_references_of_any_size(tmp_path):
    base = 2**63 + 12345  # no room left beside them for the grouping's index
    shifted = [add(7, base + 5, b"S", 100, 1_000_000), add(7, base + 6, b"B", 200, 990_000),
               message("U", 7, (base + 5, 8), (base + 8, 8), (50, 4), (1_010_000, 4)),
               message("E", 7, (base + 8, 8), (15, 4), (1, 8)), message("D", 7, (base + 6, 8))]
    path = tmp_path / "big-refs.itch"
    path.write_bytes(b"".join([SESSION[1]] + shifted))
    [alpha] = replay_itch(make_job(path), Options(block_bytes=50))
    assert (alpha.events, alpha.fills, alpha.volume, alpha.rejected, alpha.orphans) == (5, 1, 15.0, 0, 0)
    assert alpha.ask == (101.0, 35.0) and alpha.bid is None
