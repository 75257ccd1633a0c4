"""The four legs of a backtest's latency: the feed (an event reaches the strategy after the
exchange stamped it), order entry (an action reaches the exchange after the strategy sent it),
responses (acknowledgements and fills reach the strategy after the exchange made them), each by
kind of action, and each a constant, a value per kind, or interpolated from measured rows."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Union

import numpy as np

ACTIONS = ("new", "amend", "cancel")
"""The kinds of action, the keys of a per-kind leg; responses also have ``"fill"``."""


@dataclass(frozen=True, eq=False)  # rows are an array: compared and hashed by identity
class Measured:
    """Rows of measured ``(request, exchange, response)`` times (ns), one per action sent.

    The entry latency of an action sent at ``t`` is ``exchange - request`` interpolated linearly
    at ``t`` between the rows' request times (held flat beyond the first and last); the response
    latency of what the exchange did at ``x`` is ``response - exchange`` interpolated at ``x``
    between the exchange times of the accepted rows.  A row with a negative exchange time is a
    rejection, and so is an action sent between it and its neighbouring rows: the entry latency
    interpolated there is negative.
    """

    rows: np.ndarray

    def __post_init__(self) -> None:
        rows = np.asarray(self.rows, dtype=np.float64).reshape(-1, 3)
        if not len(rows):
            raise ValueError("measured latency needs at least one row")
        rows = rows[np.argsort(rows[:, 0], kind="stable")]
        object.__setattr__(self, "rows", rows)
        accepted = rows[rows[:, 1] >= 0]
        by_exchange = accepted[np.argsort(accepted[:, 1], kind="stable")]
        # with every row a rejection nothing is answered but rejections: their responses take no time
        object.__setattr__(self, "_responses", by_exchange if len(by_exchange) else np.zeros((1, 3)))

    def entry(self, time: int) -> int:
        request, exchange = self.rows[:, 0], self.rows[:, 1]
        # a rejection's latency is far below any real one, so that interpolating towards it
        # turns negative right after the accepted neighbour
        latency = np.where(exchange < 0, -float(2**62), exchange - request)
        return round(float(np.interp(time, request, latency)))

    def response(self, time: int) -> int:
        rows = self._responses  # type: ignore[attr-defined]
        return max(round(float(np.interp(time, rows[:, 1], rows[:, 2] - rows[:, 1]))), 0)


Leg = Union[int, Measured, Mapping[str, Union[int, Measured]]]


def _at(leg: Leg, kind: str, time: int, response: bool) -> int:
    value = leg[kind] if isinstance(leg, Mapping) else leg
    if isinstance(value, Measured):
        return value.response(time) if response else value.entry(time)
    return int(value)


@dataclass(frozen=True)
class Latency:
    """The legs, in ns.  ``feed``: a constant, or :class:`Measured` rows whose request time is
    the exchange's stamp and whose exchange time is when the feed delivered it (its response
    time is not read).  ``entry`` and ``response``: a constant, a :class:`Measured`, or a mapping
    of those by kind (``"new"``, ``"amend"``, ``"cancel"``; responses also ``"fill"``, the
    report of an execution).  A negative entry latency means the exchange rejected the action."""

    feed: int | Measured = 0
    entry: Leg = 0
    response: Leg = 0

    def __post_init__(self) -> None:
        for name, kinds in (("entry", ACTIONS), ("response", ACTIONS + ("fill",))):
            leg = getattr(self, name)
            if isinstance(leg, Mapping):
                missing = [kind for kind in kinds if kind not in leg]
                if missing:
                    raise ValueError(f"the {name} latency has no value for {', '.join(missing)}")
            elif not isinstance(leg, (int, Measured)):
                raise TypeError(f"the {name} latency must be an int, Measured rows or a mapping by kind")
        if not isinstance(self.feed, Measured) and self.feed < 0:
            raise ValueError("the feed latency cannot be negative")
        # constant legs looked up by kind, without the general path (asked at every action)
        for name, kinds in (("entry", ACTIONS), ("response", ACTIONS + ("fill",))):
            leg = getattr(self, name)
            values = {kind: (leg[kind] if isinstance(leg, Mapping) else leg) for kind in kinds}
            if not any(isinstance(value, Measured) for value in values.values()):
                object.__setattr__(self, f"_{name}_by_kind", {k: int(v) for k, v in values.items()})

    def seen(self, times: np.ndarray) -> np.ndarray:
        """When the strategy sees each event (int64 ns), in the feed's order: never before the
        event before it."""
        stamps = times.view(np.int64) if times.dtype == np.uint64 else times.astype(np.int64)
        if isinstance(self.feed, Measured):
            rows = self.feed.rows
            delay = np.interp(stamps, rows[:, 0], rows[:, 1] - rows[:, 0]).round().astype(np.int64)
            return np.maximum.accumulate(stamps + np.maximum(delay, 0))
        return stamps + self.feed

    def entry_at(self, kind: str, time: int) -> int:
        """The order-entry latency of an action of ``kind`` sent at ``time`` (negative: rejected)."""
        constant = self.__dict__.get("_entry_by_kind")
        return constant[kind] if constant is not None else _at(self.entry, kind, time, False)

    def response_at(self, kind: str, time: int) -> int:
        """The response latency of what the exchange did at ``time`` for ``kind``."""
        constant = self.__dict__.get("_response_by_kind")
        return max(constant[kind] if constant is not None else _at(self.response, kind, time, True), 0)
