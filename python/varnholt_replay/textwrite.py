"""Vectorised writing of integer columns as comma-separated text.

Every field of every line is laid into one byte matrix (right-aligned in a
column as wide as its longest value) and the unused cells are squeezed out,
so a block of lines becomes text with a few array operations per digit
position instead of a format call per value.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

_UNUSED = 0


def _digits_needed(values: np.ndarray) -> int:
    largest = int(np.abs(values).max()) if values.size else 0
    return max(len(str(largest)), 1)


def format_lines(fields: Sequence[np.ndarray], separators: bytes,
                 zero_padded: Sequence[tuple[int, int]] = ()) -> bytes:
    """Lines of text from integer columns of equal length.

    ``separators[i]`` is written after field ``i`` (the last one is
    normally ``\\n``).  A field listed in ``zero_padded`` as (index, digits)
    pairs is written with at least that many digits.
    """
    if len(separators) != len(fields):
        raise ValueError("one separator per field")
    rows = len(fields[0])
    padding = dict(zero_padded)
    widths = []
    for i, values in enumerate(fields):
        sign = int(values.size > 0 and values.min() < 0)
        widths.append(max(_digits_needed(values), padding.get(i, 0)) + sign + 1)
    cells = np.zeros((rows, sum(widths)), dtype=np.uint8)
    column = 0
    for i, values in enumerate(fields):
        _write_field(cells[:, column:column + widths[i] - 1], np.asarray(values, dtype=np.int64),
                     padding.get(i, 1))
        cells[:, column + widths[i] - 1] = separators[i]
        column += widths[i]
    return cells[cells != _UNUSED].tobytes()


def _write_field(cells: np.ndarray, values: np.ndarray, least: int) -> None:
    """Right-aligns the decimal text of ``values`` in ``cells`` (rows x width)."""
    width = cells.shape[1]
    magnitude = np.abs(values)
    count = np.ones(len(values), dtype=np.int64)
    for power in range(1, min(width, 19)):
        count += magnitude >= 10**power
    np.maximum(count, least, out=count)
    remaining = magnitude.copy()
    for position in range(width):
        used = count > position
        if not used.any():
            break
        cells[:, width - 1 - position] = np.where(used, remaining % 10 + 48, _UNUSED)
        remaining //= 10
    negative = np.flatnonzero(values < 0)
    cells[negative, width - 1 - count[negative]] = ord("-")
