"""Vectorised parsing of comma-separated integer text.

The readers hand this module a buffer of whole lines and get back one integer
array per field, without a Python loop per line.  A block is scanned with a
few passes over its bytes (finding the separators, checking that every other
byte is a digit) and a few over its tokens: each token's last eight bytes are
loaded as one little-endian 64-bit word, the bytes in front of the token are
masked off and the ASCII digits are folded pairwise into a number (SWAR
arithmetic, eight digits in eleven array operations).  Tokens of up to 16
digits are read; longer ones are refused.

Buffers carry ``PAD`` bytes of slack before the first line, so that an 8-byte
load ending at any token stays inside the buffer; :class:`varnholt_replay.textio.BlockReader`
lays its blocks out that way.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

PAD = 16
"""Bytes of slack in front of the data in every scanned buffer."""

MAX_DIGITS = 16
"""Longest digit string a token may have (a sign not counted)."""

_U = np.uint64
_LOW_NIBBLES = 0x0F0F0F0F0F0F0F0F
# _KEEP[k] keeps the digit values of the last k bytes of a little-endian word.
_KEEP = np.array([(~((1 << (8 * (8 - k))) - 1)) & _LOW_NIBBLES if k else 0 for k in range(9)],
                 dtype=np.uint64)
_PAIRS, _QUADS = _U(0x00FF00FF00FF00FF), _U(0x0000FFFF0000FFFF)
_FOLD1, _FOLD2, _FOLD3 = _U(10 * 256 + 1), _U(100 * 65536 + 1), _U(10000 * 2**32 + 1)
_SH8, _SH16, _SH32 = _U(8), _U(16), _U(32)
_POW8 = _U(10**8)
_MINUS = 45
_NEWLINE = 10


class ScanError(ValueError):
    """A line of a block that does not have the expected shape.

    ``row`` is the index of the first bad line within the block.
    """

    def __init__(self, row: int, reason: str) -> None:
        super().__init__(reason)
        self.row = row
        self.reason = reason


@dataclass(frozen=True)
class Layout:
    """The shape of a line: the byte that ends each of its tokens.

    ``ends`` holds one separator per token, the last one ``\\n``; besides
    ``,`` a token may be ended by ``.`` (a decimal number read as two integer
    tokens).  ``signed`` holds the tokens that may start with ``-``.
    """

    ends: bytes
    signed: frozenset[int] = frozenset()
    _pattern: np.ndarray = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        if not self.ends.endswith(b"\n") or self.ends.count(b"\n") != 1:
            raise ValueError("a layout ends with its one newline")
        object.__setattr__(self, "_pattern", np.frombuffer(self.ends, dtype=np.uint8))

    def pattern(self, count: int) -> np.ndarray:
        """The separators of ``count`` / width lines, repeated (cached)."""
        if len(self._pattern) < count:
            lines = -(-count // self.width)
            lines = max(lines, 2 * len(self._pattern) // self.width)
            object.__setattr__(self, "_pattern", np.tile(self._pattern[: self.width], lines))
        return self._pattern[:count]

    @classmethod
    def csv(cls, fields: int, signed: bool = False) -> Layout:
        """``fields`` comma-separated integers, all signed or none."""
        return cls(b"," * (fields - 1) + b"\n", frozenset(range(fields)) if signed else frozenset())

    @property
    def width(self) -> int:
        """Tokens per line."""
        return len(self.ends)

    @property
    def fields(self) -> int:
        """Comma-separated fields per line."""
        return self.ends.count(b",") + 1


def word_view(raw: np.ndarray) -> np.ndarray:
    """The little-endian 8-byte word starting at each byte of ``raw``."""
    return np.ndarray(shape=(max(raw.size - 7, 0),), dtype="<u8", buffer=raw, strides=(1,))


@dataclass
class Tokens:
    """The tokens of a block of lines: where each ends, and their values on demand.

    ``ends[j, i]`` is the position (in ``raw``) of the separator that ends
    token ``j`` of line ``i``.
    """

    raw: np.ndarray
    ends: np.ndarray
    first: int
    layout: Layout
    negative: dict[int, np.ndarray] = field(default_factory=dict)
    words: np.ndarray = field(init=False, repr=False)

    def __post_init__(self) -> None:
        self.words = word_view(self.raw)

    @property
    def lines(self) -> int:
        return self.ends.shape[1]

    def starts(self, j: int) -> np.ndarray:
        """Position of the first byte of token ``j`` of every line (after a sign)."""
        if j:
            begin = self.ends[j - 1] + 1
        else:
            begin = np.empty_like(self.ends[-1])
            begin[0] = self.first
            np.add(self.ends[-1, :-1], 1, out=begin[1:])
        if j in self.negative:
            begin += self.negative[j]
        return begin

    def lengths(self, j: int) -> np.ndarray:
        """Digits in token ``j`` of every line."""
        return self.ends[j] - self.starts(j)

    def unsigned(self, j: int) -> np.ndarray:
        """Token ``j`` of every line as a non-negative integer (int64)."""
        ends = self.ends[j]
        length = ends - self.starts(j)
        _require(length, self.field_of(j))
        value = _fold8(self.words[ends - 8], _keep(length))
        if length.max(initial=0) > 8:
            long = np.flatnonzero(length > 8)
            high = _fold8(self.words[ends[long] - 16], _KEEP[length[long] - 8])
            value[long] += high * _POW8
        return value.view(np.int64)

    def integer(self, j: int) -> np.ndarray:
        """Token ``j`` of every line, negative where it starts with ``-``."""
        value = self.unsigned(j)
        if j in self.negative:
            np.negative(value, out=value, where=self.negative[j].astype(bool))
        return value

    def field_of(self, j: int) -> int:
        """Number (from 1) of the comma-separated field that token ``j`` is part of."""
        return self.layout.ends[:j].count(b",") + 1

    def digit(self, j: int) -> np.ndarray:
        """Token ``j`` of every line, which must be a single digit, with its
        sign if it may have one (int8)."""
        ends = self.ends[j]
        _require(ends - self.starts(j), self.field_of(j), longest=1)
        value = (self.raw[ends - 1] - 48).view(np.int8)
        if j in self.negative:
            np.negative(value, out=value, where=self.negative[j].astype(bool))
        return value


def scan(raw: np.ndarray, start: int, stop: int, layout: Layout) -> Tokens:
    """The tokens of the whole lines in ``raw[start:stop]``.

    ``raw[stop - 1]`` must be the last line's newline, and ``start >= PAD``.
    Raises :class:`ScanError` for the first line that does not follow
    ``layout``: a wrong number of fields, an empty or over-long field, a byte
    that is neither a digit nor a separator, a misplaced ``-``.
    """
    data = raw[start:stop]
    marks, minus_count = _separators(data, start, layout)
    k = layout.width
    lines = marks.size // k
    tokens = Tokens(raw, marks.reshape(lines, k).T.copy(), start, layout)
    signs = 0
    for j in sorted(layout.signed):
        if not minus_count:
            break
        sign = (raw[tokens.starts(j)] == _MINUS).view(np.int8)
        tokens.negative[j] = sign
        signs += int(np.count_nonzero(sign))
    if signs != minus_count or np.count_nonzero(data > 57):
        raise ScanError(_first_stray_byte(tokens, data, start), "a field that is not an integer")
    return tokens


def table(raw: np.ndarray, start: int, stop: int, layout: Layout) -> np.ndarray:
    """All tokens of the whole lines in ``raw[start:stop]`` as integers,
    shape (lines, tokens), for layouts without decimals.

    The same checks as :func:`scan`, with every token of the block parsed in
    one batch: cheaper than token by token for wide lines.
    """
    data = raw[start:stop]
    marks, minus_count = _separators(data, start, layout)
    k = layout.width
    lines = marks.size // k
    starts = np.empty_like(marks)
    starts[:1] = start
    np.add(marks[:-1], 1, out=starts[1:])
    negative = None
    if minus_count:
        negative = raw[starts] == _MINUS
        unsigned = [j for j in range(k) if j not in layout.signed]
        if (np.count_nonzero(negative) != minus_count
                or (unsigned and negative.reshape(lines, k)[:, unsigned].any())):
            tokens = Tokens(raw, marks.reshape(lines, k).T.copy(), start, layout)
            raise ScanError(_first_stray_byte(tokens, data, start), "a field that is not an integer")
        starts += negative
    length = marks - starts
    if lines and (length.min() < 1 or length.max() > MAX_DIGITS):
        bad = ((length < 1) | (length > MAX_DIGITS)).reshape(lines, k)
        row = int(np.argmax(bad.any(axis=1)))
        _require(length.reshape(lines, k)[row:row + 1, int(np.argmax(bad[row]))], 1 + int(np.argmax(bad[row])))
    if np.count_nonzero(data > 57):
        tokens = Tokens(raw, marks.reshape(lines, k).T.copy(), start, layout)
        raise ScanError(_first_stray_byte(tokens, data, start), "a field that is not an integer")
    words = word_view(raw)
    value = _fold8(words[marks - 8], _keep(length))
    if length.max(initial=0) > 8:
        long = np.flatnonzero(length > 8)
        value[long] += _fold8(words[marks[long] - 16], _KEEP[length[long] - 8]) * _POW8
    signed = value.view(np.int64)
    if negative is not None:
        np.negative(signed, out=signed, where=negative)
    return signed.reshape(lines, k)


def _separators(data: np.ndarray, start: int, layout: Layout) -> tuple[np.ndarray, int]:
    """Positions (counted from ``start``) of the bytes that end tokens,
    checked against the layout, and the number of ``-`` signs.

    Every byte below ``0`` ends a token, but ``-``, which starts one; the
    callers check that every other byte is a digit.
    """
    marks = np.flatnonzero(data < 48)
    found = data[marks]
    minus = found == _MINUS
    minus_count = int(np.count_nonzero(minus))
    if minus_count:
        keep = ~minus
        marks, found = marks[keep], found[keep]
    k = layout.width
    expected = layout.pattern(marks.size)
    if marks.size % k or not np.array_equal(found, expected):
        raise ScanError(_first_misfit(found, expected, k), f"expected {layout.fields} comma-separated fields")
    marks += start
    return marks, minus_count


def _first_misfit(found: np.ndarray, expected: np.ndarray, k: int) -> int:
    """Line of the first separator that is not where the layout puts it."""
    wrong = np.flatnonzero(found != expected)
    if wrong.size:
        return int(wrong[0]) // k
    return found.size // k  # the block ends inside a line


def _first_stray_byte(tokens: Tokens, data: np.ndarray, start: int) -> int:
    """Line of the first byte that is neither a digit, a separator nor a sign."""
    tokens.negative.clear()  # so that starts() points at the signs
    signs = []
    for j in sorted(tokens.layout.signed):
        begin = tokens.starts(j)
        signs.append(begin[tokens.raw[begin] == _MINUS])
    allowed = np.concatenate([tokens.ends.ravel()] + signs)
    others = np.flatnonzero((data < 48) | (data > 57)) + start
    stray = others[~np.isin(others, allowed)]
    line_ends = tokens.ends[-1]
    return int(np.searchsorted(line_ends, stray[0])) if stray.size else 0


def _require(length: np.ndarray, number: int, longest: int = MAX_DIGITS) -> None:
    if not len(length) or (length.min() >= 1 and length.max() <= longest):
        return
    bad = (length < 1) | (length > longest)
    if bad.any():
        row = int(np.argmax(bad))
        what = "has no digits" if length[row] < 1 else f"has more than {longest} digit{'s' * (longest > 1)}"
        raise ScanError(row, f"field {number} {what}")


def _keep(length: np.ndarray) -> np.ndarray:
    """The mask of each token's last ``length`` bytes (at most 8) in its word."""
    # a take that clips to the table, rather than an index after np.minimum: half the time
    # (6 million tokens, 21 ms -> 10 ms)
    return _KEEP.take(length, mode="clip")


def _fold8(word: np.ndarray, keep: np.ndarray) -> np.ndarray:
    """The number written by the kept bytes of each word (ASCII digits, the
    first one in the lowest byte); dropped bytes count as leading zeros."""
    word &= keep
    word *= _FOLD1
    word >>= _SH8
    word &= _PAIRS
    word *= _FOLD2
    word >>= _SH16
    word &= _QUADS
    word *= _FOLD3
    word >>= _SH32
    return word


def line_text(raw: np.ndarray, start: int, stop: int, row: int, limit: int = 120) -> str:
    """The text of line ``row`` of the block (for error messages)."""
    data = raw[start:stop].tobytes()
    lines = data.split(b"\n")
    text = lines[row] if row < len(lines) else b""
    shown = text[:limit].decode("utf-8", "replace")
    return shown + ("..." if len(text) > limit else "")
