"""Type stubs for ``varnholt``: a limit order book for a single instrument.

Prices inside the book are whole numbers of ticks; a book's tick size turns a
decimal price into ticks (``OrderBook.create_order``) and ticks back into
decimal prices (fills, the spread and the summary).  Quantities are floats.

Every attribute is a read-only property.  ``Order``, ``Fill`` and
``OrderBook`` compare and hash by identity; ``OrderType`` and ``OrderStatus``
compare by number with their own members and with integers and are
unhashable.  No class can be subclassed.
"""

from collections.abc import Iterable
from typing import Any, ClassVar, Protocol, final

__all__ = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]

@final
class OrderType:
    """Represents the side of an order: either Buy or Sell.

    Members compare equal to their number (``Buy`` = 0, ``Sell`` = 1) and to
    equal members; ordering comparisons raise ``TypeError``.  The class has
    no constructor: calling it raises ``TypeError``.
    """

    Buy: ClassVar[OrderType]
    Sell: ClassVar[OrderType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __repr__(self) -> str: ...

@final
class OrderStatus:
    """Represents the current status of an order.

    ``Open`` = 0, ``Filled`` = 1, ``Canceled`` = 2 (no operation of the book
    assigns ``Canceled``: cancelling removes the order instead).  Same
    comparison rules as ``OrderType``; no constructor.
    """

    Open: ClassVar[OrderStatus]
    Filled: ClassVar[OrderStatus]
    Canceled: ClassVar[OrderStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __repr__(self) -> str: ...

@final
class Order:
    """Represents a single order in the order book.
    Contains details such as price, quantity, side (Buy/Sell), and status.

    Raises ``ValueError`` "price_in_ticks must be positive" or
    "quantity must be positive" for invalid values.
    """

    def __new__(
        cls, side: OrderType, price_in_ticks: int, quantity: float
    ) -> Order: ...
    @property
    def id(self) -> str:
        """Getter for the order ID."""
    @property
    def side(self) -> OrderType:
        """Getter for the order side."""
    @property
    def price_in_ticks(self) -> int:
        """Getter for the price in ticks."""
    @property
    def quantity(self) -> float:
        """Getter for the quantity."""
    @property
    def status(self) -> OrderStatus:
        """Getter for the order status."""
    @property
    def timestamp(self) -> int:
        """Getter for the timestamp."""
    def is_open(self) -> bool:
        """Checks if the order is still open."""
    def can_match(self, other: Order) -> bool:
        """Determines whether this order can match with another order.

        Returns ``True`` if the orders are on opposite sides and the prices
        are compatible.
        """
    def fill(self, incoming: Order, tick_size: float) -> Fill | None:
        """Attempts to fill this order with another incoming order.
        Updates the quantities and statuses of both orders.

        Returns ``None`` (and changes nothing) when the orders cannot match.
        """
    def __copy__(self) -> Order:
        """An independent copy (also what ``copy.copy`` and ``copy.deepcopy`` make)."""
    def __deepcopy__(self, memo: object) -> Order: ...
    def __repr__(self) -> str: ...

@final
class Fill:
    """Represents a match (fill) between two orders.
    Tracks details such as the quantity, price, and the involved order IDs.
    """

    def __new__(
        cls,
        quantity: float,
        price: float,
        buy_id: str,
        sell_id: str,
        timestamp: int,
    ) -> Fill: ...
    @property
    def quantity(self) -> float:
        """Getter for the quantity filled."""
    @property
    def price(self) -> float:
        """Getter for the fill price."""
    @property
    def buy_id(self) -> str:
        """Getter for the buy order ID."""
    @property
    def sell_id(self) -> str:
        """Getter for the sell order ID."""
    @property
    def timestamp(self) -> int:
        """Getter for the fill timestamp."""
    def __copy__(self) -> Fill:
        """An independent copy (also what ``copy.copy`` and ``copy.deepcopy`` make)."""
    def __deepcopy__(self, memo: object) -> Fill: ...
    def __repr__(self) -> str: ...

class _ArrayInterface(Protocol):
    """Anything NumPy can read through the array interface protocol."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...

class _RecordArray(Protocol):
    """An array of records made by the book; ``np.asarray()`` reads it in place.
    Without NumPy, ``array[i]`` and iteration give each record as a tuple of its
    fields (a row of ``bids``/``asks`` as a tuple of such tuples), and
    ``array.memory`` a memoryview of its bytes (in place and writable on
    CPython 3.11 and later, a read-only copy on 3.10)."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...
    @property
    def memory(self) -> memoryview: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> tuple[Any, ...]: ...

class _ReplayResult(Protocol):
    """What ``OrderBook.replay`` returns: its four arrays as attributes."""

    events: _RecordArray
    fills: _RecordArray
    bids: _RecordArray
    asks: _RecordArray
    @property
    def next(self) -> int:
        """The index of the first event not applied (``len(events)`` when it ran through)."""
    @property
    def stopped(self) -> int:
        """The ``OrderBook.STOP_*`` bits of the conditions met; 0 when it ran through."""

@final
class OrderBook:
    """Represents the main order book for matching buy and sell orders."""

    EVENT_FIELDS: ClassVar[list[tuple[str, str]]]
    FEED_EVENT_FIELDS: ClassVar[list[tuple[str, str]]]
    EVENT_RESULT_FIELDS: ClassVar[list[tuple[str, str]]]
    FILL_FIELDS: ClassVar[list[tuple[str, str]]]
    LEVEL_FIELDS: ClassVar[list[tuple[str, str]]]
    NO_REF: ClassVar[int]
    # Event kinds of replay().
    ADD: ClassVar[int]
    CANCEL: ClassVar[int]
    AMEND: ClassVar[int]
    IOC: ClassVar[int]
    FOK: ClassVar[int]
    POST: ClassVar[int]
    EXECUTE: ClassVar[int]
    REDUCE: ClassVar[int]
    REPLACE: ClassVar[int]
    # Event statuses.
    APPLIED: ClassVar[int]
    REJECTED: ClassVar[int]
    UNKNOWN_REF: ClassVar[int]
    # Why an event was rejected (the result's reason).
    REASON_NONE: ClassVar[int]
    REASON_KIND: ClassVar[int]
    REASON_SIDE: ClassVar[int]
    REASON_QUANTITY: ClassVar[int]
    REASON_PRICE: ClassVar[int]
    REASON_LIVE_REF: ClassVar[int]
    REASON_NO_REF: ClassVar[int]
    REASON_EXCEEDS: ClassVar[int]
    # Why replay() stopped (result.stopped, bits).
    STOP_FILL: ClassVar[int]
    STOP_TOUCH: ClassVar[int]
    STOP_QUEUE: ClassVar[int]
    STOP_TIME: ClassVar[int]
    # Self-trade policies (the self_trade property).
    STP_OFF: ClassVar[int]
    STP_CANCEL_RESTING: ClassVar[int]
    STP_CANCEL_INCOMING: ClassVar[int]
    STP_DECREMENT: ClassVar[int]

    def __new__(cls, tick_size: float = 0.01) -> OrderBook: ...
    @property
    def buy_orders(self) -> list[Order]:
        """Get a list of all buy orders"""
    @property
    def sell_orders(self) -> list[Order]:
        """Get a list of all sell orders"""
    @property
    def tick_size(self) -> float:
        """Return the tick size for informational purposes"""
    @property
    def self_trade(self) -> int:
        """What a match between two orders of one non-zero owner does: ``STP_OFF``
        (they trade, the default), ``STP_CANCEL_RESTING``, ``STP_CANCEL_INCOMING`` or
        ``STP_DECREMENT``.  Another value raises ``ValueError``."""
    @self_trade.setter
    def self_trade(self, self_trade: int) -> None: ...
    def create_order(
        self, side: OrderType, price: float, quantity: float
    ) -> Order:
        """Creates an order (but does not add to the book) based off the book's
        tick size.

        Raises ``ValueError`` "Price and quantity must be positive",
        "Resulting price_in_ticks must be positive" or, for a NaN or
        infinite quantity, "quantity must be a finite number".
        """
    def add(self, incoming_order: Order) -> list[Fill]:
        """Adds an order to the book, attempting to match it with resting orders.

        Returns the fills in the order they were made; each fill executes at
        the resting order's price.  An order whose quantity is NaN or
        infinite is refused with ``ValueError`` "quantity must be a finite
        number".
        """
    def add_as(self, order: Order, ref: int, owner: int = 0) -> list[Fill]:
        """Adds an order exactly as ``add`` does; what rests of it rests under
        the reference ``ref``, which ``replay`` events and fills then name.

        ``owner`` (0 for none, below 2**32) is whose order it is, for
        self-trade prevention.  A ``ref`` that already rests, or ``NO_REF``,
        raises ``ValueError`` before anything changes.
        """
    def cancel(self, order_id: str) -> bool:
        """Cancels an order by its ID."""
    def get_order(self, order_id: str) -> Order | None:
        """Retrieves an order by its ID. Returns None if the order is not found."""
    def update_order(self, order: Order) -> None:
        """Helper method to update an order in the `orders` map."""
    def best_bid(self) -> tuple[int, float] | None:
        """Helper method to get best bid"""
    def best_ask(self) -> tuple[int, float] | None:
        """Helper method to get best ask"""
    def buy_volume(self) -> float:
        """Helper method to calculate total buy volume"""
    def sell_volume(self) -> float:
        """Helper method to calculate total sell volume"""
    def spread(self) -> float | None:
        """Calculate the current spread in the order book.
        Returns None if there are no orders on either side.
        The spread is returned in the same units as the prices (not ticks).
        """
    def depth(
        self, levels: int = 10
    ) -> tuple[list[tuple[int, float, int]], list[tuple[int, float, int]]]:
        """The best ``levels`` price levels of each side, as ``(bids, asks)``.

        Each is a list of ``(price_in_ticks, quantity, orders)`` tuples, best
        first (highest bid, lowest ask): the sum of the open quantities
        resting at that price and how many orders rest there.  A negative
        ``levels`` raises ``OverflowError``.
        """
    def volume_at(self, side: OrderType, price_in_ticks: int) -> tuple[float, int]:
        """The ``(quantity, orders)`` resting at one price on one side;
        ``(0.0, 0)`` where nothing rests."""
    def queue_position(self, order_id: str) -> tuple[int, float] | None:
        """``(orders_ahead, quantity_ahead)`` of a resting order in its level;
        ``None`` when the id names no resting order."""
    def take(self, order: Order, all_or_none: bool = False) -> list[Fill]:
        """An immediate order: matched as ``add`` matches it, but its open
        remainder never rests.

        Immediate-or-cancel (the default) drops the remainder; fill-or-kill
        (``all_or_none=True``) trades only if it fills completely and
        otherwise changes nothing.  It is filled when the quantities it
        trades, summed in the sweep's order, reach its quantity.  The
        registry records the order ``Filled``, or ``Canceled`` with its
        untraded quantity, unless its id still rests in the book.  A market
        order is an immediate order priced at the far end:
        ``Order(OrderType.Buy, 2**63 - 1, q)`` or ``Order(OrderType.Sell, 1, q)``.
        """
    def amend(
        self,
        order_id: str,
        quantity: float | None = None,
        price_in_ticks: int | None = None,
    ) -> list[Fill] | None:
        """Changes a resting order's open quantity and/or price.

        A lower quantity at the same price keeps the order's place in its
        queue; a higher quantity or another price takes it out and enters it
        again (matching first if it crosses) with a new timestamp.  Returns
        the fills, or ``None`` when the id names no resting order.  Raises
        ``ValueError`` for a quantity that is not positive and finite or a
        price that is not positive.
        """
    def forget_filled(self) -> int:
        """Removes every filled order from the registry, except an id that
        still has resting copies; returns how many it removed."""
    def replay(
        self,
        events: _ArrayInterface | bytes | bytearray | memoryview,
        depth: int = 0,
        every: int = 1,
        *,
        start: int = 0,
        until: int | None = None,
        watch: Iterable[int] | None = None,
        touch: bool = False,
        queue: Iterable[int] | None = None,
        owner: int = 0,
        layout: list[tuple[str, str]] | None = None,
        out: _ReplayResult | None = None,
    ) -> _ReplayResult:
        """Applies a whole array of order events in one call, with the
        interpreter lock released (kept for batches of fewer than 64 events).

        ``events`` may also be packed records in ``bytes``, a ``bytearray`` or a
        ``memoryview``, read in the layout ``layout`` names
        (``OrderBook.EVENT_FIELDS``, the default, or ``OrderBook.FEED_EVENT_FIELDS``).
        With ``out=`` (a result of an earlier call) the results are written into it,
        reusing its arrays' storage when nothing else holds them, and it is returned.

        It begins at event ``start`` and stops after the first event that meets a
        condition given (a fill naming a ref in ``watch``, a change at the touch with
        ``touch=True``, a change ahead of a ref in ``queue``), or before the first
        event whose timestamp is at least ``until``; ``result.next`` and
        ``result.stopped`` say where and why. Orders it enters carry ``owner``.

        ``events`` is a structured array of dtype ``np.dtype(OrderBook.EVENT_FIELDS)``
        or ``np.dtype(OrderBook.FEED_EVENT_FIELDS)`` (which adds ``new_ref`` and the
        event's ``timestamp``); its kinds are ``OrderBook.ADD`` ... ``OrderBook.REPLACE``.
        The result's ``events`` (dtype ``EVENT_RESULT_FIELDS``), ``fills``
        (``FILL_FIELDS``), ``bids`` and ``asks`` (``LEVEL_FIELDS``, shape
        ``(snapshots, depth)``) expose the array interface.

        It begins at event ``start`` and stops after the first event that
        meets a condition given (a fill naming a ref in ``watch``, a change
        of the best bid or ask with ``touch=True``, a change of what rests
        ahead of a ref in ``queue``), or before the first event whose
        timestamp is at least ``until`` (feed layout only); ``result.next``
        and ``result.stopped`` say where and why.  Orders it enters carry
        ``owner``.
        """
    def order_id(self, ref: int) -> str | None:
        """The id of the order resting under a reference given to ``replay``."""
    def __copy__(self) -> OrderBook:
        """An independent copy (also what ``copy.copy`` and ``copy.deepcopy`` make)."""
    def __deepcopy__(self, memo: object) -> OrderBook: ...
    def __repr__(self) -> str: ...
