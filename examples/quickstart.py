"""A first look at varnholt: build a small book, trade against it, print it."""

from varnholt import OrderBook, OrderType

book = OrderBook(tick_size=0.01)

# Resting liquidity: two asks and two bids.  create_order turns the decimal
# price into ticks with the book's tick size; add puts the order in the book.
for side, price, quantity in [
    (OrderType.Sell, 101.00, 5),
    (OrderType.Sell, 100.50, 3),
    (OrderType.Buy, 99.75, 4),
    (OrderType.Buy, 99.50, 10),
]:
    book.add(book.create_order(side, price, quantity))
print(book)
print()

# A buy at 101.00 for 6 sweeps the ask at 100.50, then part of the one at
# 101.00.  Each fill executes at the resting order's price.
taker = book.create_order(OrderType.Buy, 101.00, 6)
for fill in book.add(taker):
    print(f"filled {fill.quantity:g} @ {fill.price:.2f}")
print()

print(book)
print("best bid:", book.best_bid(), "best ask:", book.best_ask())
print("spread:", book.spread())

# Cancel the bid at 99.75: the best bid moves down to 99.50.
bid = book.buy_orders[-1]  # buy_orders ends with the orders at the best bid
print("cancelled:", book.cancel(bid.id), "->", book.best_bid())
