"""A plain-Python limit order book that the generator keeps its flows on.

It holds resting orders by side, price and arrival, nothing more: the flows
it serves never send an order that crosses the book, executions take the
front order of a level explicitly.  It does not use varnholt, so the
orderbook rows written from it are an independent reference for the replay.
"""

from __future__ import annotations

from bisect import bisect_left, insort
from dataclasses import dataclass

BUY, SELL = 0, 1


@dataclass
class Resting:
    """One resting order."""

    ref: int
    side: int
    price: int
    quantity: int


class ReferenceBook:
    """Resting orders in price levels, each level in arrival order."""

    def __init__(self) -> None:
        self.orders: dict[int, Resting] = {}
        # per side: price -> {ref: order} in arrival order, and the prices ascending
        self.levels: tuple[dict[int, dict[int, Resting]], dict[int, dict[int, Resting]]] = ({}, {})
        self.prices: tuple[list[int], list[int]] = ([], [])

    def __contains__(self, ref: int) -> bool:
        return ref in self.orders

    def __len__(self) -> int:
        return len(self.orders)

    def add(self, ref: int, side: int, price: int, quantity: int) -> None:
        """Rest a new order at the back of its level."""
        if ref in self.orders:
            raise ValueError(f"order {ref} is already resting")
        order = Resting(ref, side, price, quantity)
        self.orders[ref] = order
        level = self.levels[side].get(price)
        if level is None:
            level = self.levels[side][price] = {}
            insort(self.prices[side], price)
        level[ref] = order

    def reduce(self, ref: int, quantity: int) -> Resting:
        """Take ``quantity`` off an order in place; it leaves the book at zero."""
        order = self.orders[ref]
        if not 0 < quantity <= order.quantity:
            raise ValueError(f"cannot take {quantity} off order {ref} of {order.quantity}")
        order.quantity -= quantity
        if order.quantity == 0:
            self.remove(ref)
        return order

    def remove(self, ref: int) -> Resting:
        """Take an order out of the book."""
        order = self.orders.pop(ref)
        level = self.levels[order.side][order.price]
        del level[ref]
        if not level:
            del self.levels[order.side][order.price]
            prices = self.prices[order.side]
            del prices[bisect_left(prices, order.price)]
        return order

    def best(self, side: int) -> int | None:
        """Best price of a side: the highest bid or the lowest ask."""
        prices = self.prices[side]
        if not prices:
            return None
        return prices[-1] if side == BUY else prices[0]

    def front(self, side: int, price: int | None = None) -> Resting | None:
        """The first order of a level (by default the best one)."""
        if price is None:
            price = self.best(side)
        level = self.levels[side].get(price) if price is not None else None
        return next(iter(level.values())) if level else None

    def top(self, side: int, depth: int) -> list[tuple[int, int, int]]:
        """The best ``depth`` levels of a side as (price, quantity, orders)."""
        prices = self.prices[side]
        chosen = prices[:-depth - 1:-1] if side == BUY else prices[:depth]
        levels = self.levels[side]
        return [(p, sum(o.quantity for o in levels[p].values()), len(levels[p])) for p in chosen]

    def level_count(self, side: int) -> int:
        return len(self.prices[side])
