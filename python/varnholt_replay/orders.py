"""What the readers know of the live orders, kept in sorted arrays.

Both formats name orders by reference in later messages and leave it to the
reader to know an order's side, price or open quantity.  :class:`LiveOrders`
holds those for every live order in arrays sorted by ref and brings a whole
block of operations to account at once: the operations are grouped by ref
with one sort, a running sum of their quantity changes gives each order's
open quantity after each operation, and the table is merged with the
block's survivors.

Grouping sorts a composite of the ref and the operation's index (one
64-bit sort, which NumPy does with SIMD) rather than an index sort, when the
refs leave room for the index in 64 bits; it falls back to a stable index
sort otherwise.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Groups:
    """Operations grouped by key, each group in operation order.

    ``order[i]`` is the operation at sorted position ``i``; ``keys`` are the
    distinct keys ascending, group ``g`` occupying sorted positions
    ``starts[g]`` to ``starts[g + 1]``; ``group[i]`` is the group of sorted
    position ``i``.
    """

    order: np.ndarray
    keys: np.ndarray
    starts: np.ndarray
    group: np.ndarray

    @classmethod
    def of(cls, keys: np.ndarray) -> Groups:
        order = sort_order(keys)
        ranked = keys[order]
        first = np.empty(len(ranked), dtype=bool)
        first[:1] = True
        np.not_equal(ranked[1:], ranked[:-1], out=first[1:])
        starts = np.flatnonzero(first)
        return cls(order, ranked[starts], starts, np.cumsum(first) - 1)

    @property
    def ends(self) -> np.ndarray:
        """Sorted position of each group's last operation."""
        return np.append(self.starts[1:], len(self.order)) - 1

    @property
    def heads(self) -> np.ndarray:
        """The first operation of each group."""
        return self.order[self.starts]


def sort_order(keys: np.ndarray) -> np.ndarray:
    """The permutation that sorts ``keys`` (uint64), equal keys in their original order."""
    n = len(keys)
    bits = max(n.bit_length(), 1)
    if n and int(keys.max()) < 1 << (64 - bits):
        composite = keys << np.uint64(bits)
        composite |= np.arange(n, dtype=np.uint64)
        composite.sort()
        composite &= np.uint64((1 << bits) - 1)
        return composite.astype(np.intp)
    return np.argsort(keys, kind="stable")


def find_sorted(sorted_keys: np.ndarray, wanted: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Which of ``wanted`` are in ``sorted_keys``, and where (valid where found)."""
    if not len(sorted_keys):
        return np.zeros(len(wanted), dtype=bool), np.zeros(len(wanted), dtype=np.intp)
    at = np.searchsorted(sorted_keys, wanted)
    np.minimum(at, len(sorted_keys) - 1, out=at)
    return sorted_keys[at] == wanted, at


class LiveOrders:
    """Side, price, open quantity and arrival (any number that orders a
    level's queue) of the live orders, sorted by ref."""

    def __init__(self) -> None:
        self.refs = np.empty(0, dtype=np.uint64)
        self.side = np.empty(0, dtype=np.uint8)
        self.price = np.empty(0, dtype=np.int64)
        self.open = np.empty(0, dtype=np.int64)
        self.arrival = np.empty(0, dtype=np.int64)

    def __len__(self) -> int:
        return len(self.refs)

    def find(self, wanted: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Which of ``wanted`` are live, and their index in the table (valid where found)."""
        return find_sorted(self.refs, wanted)

    def insert(self, refs: np.ndarray, side: np.ndarray, price: np.ndarray, quantity: np.ndarray,
               arrival: np.ndarray | int = 0) -> None:
        """Adds new live orders (refs not in the table yet)."""
        order = np.argsort(refs)
        columns = (np.asarray(refs, dtype=np.uint64), np.asarray(side, dtype=np.uint8),
                   np.asarray(price, dtype=np.int64), np.asarray(quantity, dtype=np.int64),
                   np.broadcast_to(np.asarray(arrival, dtype=np.int64), np.shape(refs)))
        self._merge(np.ones(len(self.refs), dtype=bool), *(c[order] for c in columns))

    def level(self, side: int, price: int) -> tuple[np.ndarray, np.ndarray]:
        """Refs and open quantities of the orders of one level, in queue order."""
        at = np.flatnonzero((self.side == side) & (self.price == price))
        at = at[np.argsort(self.arrival[at], kind="stable")]
        return self.refs[at], self.open[at]

    def apply(self, refs: np.ndarray, delta: np.ndarray, ends: np.ndarray, side: np.ndarray,
              price: np.ndarray, groups: Groups | None = None, arrival: np.ndarray | None = None) -> np.ndarray:
        """Brings a block of operations on orders to account, in order.

        Each operation changes the open quantity of order ``refs[i]`` by
        ``delta[i]`` (a new order is an operation with its quantity as delta
        and its own side and price); ``ends[i]`` marks an operation after
        which the order is gone whatever its quantity (a deletion).  Returns
        each order's open quantity after each operation.  ``groups`` may
        pass the grouping of ``refs`` if the caller has it; ``arrival``, the
        arrival of the new orders.
        """
        if not len(refs):
            return np.empty(0, dtype=np.int64)
        g = groups or Groups.of(refs)
        steps = delta[g.order]
        known, at = self.find(g.keys)
        base = np.zeros(len(g.keys), dtype=np.int64)
        base[known] = self.open[at[known]]
        running = np.cumsum(steps)
        offset = base - running[g.starts] + steps[g.starts]
        after_sorted = running + offset[g.group]
        after = np.empty_like(after_sorted)
        after[g.order] = after_sorted
        after[ends] = 0

        final = after_sorted[g.ends]
        alive = ~np.logical_or.reduceat(ends[g.order], g.starts) & (final > 0)
        heads = g.heads
        new_side, new_price = side[heads], price[heads]
        new_arrival = arrival[heads] if arrival is not None else np.zeros(len(heads), dtype=np.int64)
        old = at[known]
        new_side[known], new_price[known], new_arrival[known] = self.side[old], self.price[old], self.arrival[old]
        keep = np.ones(len(self.refs), dtype=bool)
        keep[old] = False
        self._merge(keep, g.keys[alive], new_side[alive], new_price[alive], final[alive], new_arrival[alive])
        return after

    def _merge(self, keep: np.ndarray, refs: np.ndarray, side: np.ndarray, price: np.ndarray,
               quantity: np.ndarray, arrival: np.ndarray) -> None:
        """Keeps the ``keep`` rows of the table and adds sorted new ones."""
        kept = self.refs[keep]
        at = np.searchsorted(kept, refs)
        self.refs = np.insert(kept, at, refs)
        self.side = np.insert(self.side[keep], at, side)
        self.price = np.insert(self.price[keep], at, price)
        self.open = np.insert(self.open[keep], at, quantity)
        self.arrival = np.insert(self.arrival[keep], at, arrival)
