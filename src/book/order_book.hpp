#pragma once

// The book: its public operations and the state they share. The operations live in files by
// concern: matching.cpp (add, take, the sweep's plan and commit), levels.cpp (resting and taking
// out nodes, levels), amendments.cpp (amend, cancel, forget_filled), queries.cpp (look-ups,
// depth, volumes, the summary, the invariant checker), naming.cpp (ids given to replayed orders
// when asked), replay.cpp (with feed_verbs.cpp and stop_conditions.cpp) and snapshot.cpp. The
// plans they make before they change anything are in plans.hpp, the small types of the
// interface in book_types.hpp.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../records/environment.hpp"
#include "../records/error.hpp"
#include "../records/fill.hpp"
#include "../records/order.hpp"
#include "book_types.hpp"
#include "hash_table.hpp"
#include "levels.hpp"
#include "plans.hpp"
#include "registry.hpp"
#include "replay.hpp"
#include "stop_conditions.hpp"

namespace varnholt {

// A single-instrument limit order book with price-time priority.
//
// Every operation either completes or leaves the book exactly as it was: when memory runs out or
// the clock or the random source fails part-way, nothing has changed. Each operation first works
// out what it will do (the fills of a sweep, with their times read from the clock and the ids they
// show drawn) and allocates everything that the change needs (the registry's room, the level and
// its node), and only then changes the book with steps that cannot fail. A sweep is therefore all
// or nothing: it never reports part of its fills.
//
// Containers, chosen for the add/cancel hot path and for walks over deep books:
// - Each side is a std::map from price to the index of its Level in the level pool: ordered
//   iteration, and the best level is begin() or rbegin() in O(1). A hash index from price to level
//   beside it finds a level in one probe.
// - A level is a FIFO queue of nodes from the node pool (see levels.hpp): resting an order links
//   it at the back, a fill takes the front, a cancel unlinks its node in O(1) wherever it stands.
// - The registry (see Registry) maps an id (its 128 bits) to the last recorded copy and remembers
//   where the id's resting copy is, so a cancel costs one hash look-up and no search. Orders that
//   replay enters have entries without ids until someone asks (see name_resting).
// The book keeps its own copies: nothing it holds is shared with a caller.
class OrderBook {
public:
    explicit OrderBook(double tick_size = 0.01) : tick_size_(tick_size) {}

    // Nothing the book holds points into its own memory (pools and tables hold indices), so a
    // move and a copy are those of its containers; the copy constructor is private, since a
    // copy names the resting orders first (copy()).
    OrderBook(OrderBook&&) noexcept = default;
    OrderBook& operator=(OrderBook&&) = delete;

    // An independent copy: the same registry, levels and queues. Orders still without an id are
    // named first (see name_resting), so that the copy and the book give each order the same id.
    // All or nothing: on failure the book is as it was (only naming may change it, and it is all
    // or nothing itself).
    Result<OrderBook> copy(IdGenerator& ids);

    // The book's saved state: the layout of state.hpp (version, kind 3), then the tick size (f64),
    // the registry and the two sides; the README describes it field by field. Orders still
    // without an id are named first.
    Result<std::string> save_state(IdGenerator& ids);
    // A book made from a saved state. Everything is checked before anything is built: the
    // lengths and counts, every value's range, ids and the order of the levels (a crossed book,
    // which replay's feed verbs can make, restores as it was); a damaged state is refused
    // (InvalidValue) with what is wrong.
    static Result<OrderBook> restore(std::string_view state);

    double tick_size() const noexcept { return tick_size_; }

    // The self-trade policy of every later match (add, take, amend and replay alike); Off when
    // the book is made.
    SelfTrade self_trade() const noexcept { return self_trade_; }
    void set_self_trade(SelfTrade policy) noexcept { self_trade_ = policy; }

    // Matches `arriving` (copied) against the opposite side and rests any open remainder; returns
    // the fills in match order. An order whose quantity
    // is NaN or infinite is refused before anything changes: with such quantities a match can
    // leave both orders open and the matching loop would never end. `before_commit`, when given,
    // sees the fills before anything changes (see BeforeCommit); take() and amend() alike.
    // The orders it trades with that replay entered and nobody asked the id of are named (their
    // ids drawn from `environment.ids` in the plan), since its fills show their ids; take() and
    // amend() alike.
    Result<std::vector<Fill>> add(const Order& arriving, Environment& environment,
                                  BeforeCommit* before_commit = nullptr);

    // add() of an order that rests under the caller's reference `ref` (as replay() rests its
    // orders), so that later replayed events and fills name it. `ref` must be neither no_ref nor
    // the reference of a resting order (InvalidValue, nothing changed). The order carries its
    // owner (see SelfTrade).
    Result<std::vector<Fill>> add_as(const Order& arriving, std::uint64_t ref, Environment& environment,
                                     BeforeCommit* before_commit = nullptr);

    // Removes every resting copy of `id`, wherever it rests, and the registry entry. False when the
    // registry holds no value for the id. Allocates nothing. One exception keeps what update_order
    // means: after update_order recorded the id's value, only the level of that value's side and
    // price is looked at, and a copy resting elsewhere stays (the registry then keeps an entry
    // without a value for it, and a later fill of the copy records it again).
    bool cancel(std::string_view id) noexcept;

    // Records a copy of `order` in the registry, replacing any value under its id. Never touches
    // the price levels.
    void update_order(const Order& order) { record(order).from_caller = true; }

    std::optional<Order> get_order(std::string_view id) const noexcept;

    // An immediate order: matched exactly as add() matches, but its open remainder never rests.
    // Immediate-or-cancel drops the remainder and records the order Canceled with its untraded
    // quantity (Filled when it traded everything), unless copies of its id rest in the book: the
    // registry's value then stays theirs. Fill-or-kill (all_or_none) trades only when
    // the sweep fills it completely; otherwise nothing changes, the registry included, and there
    // are no fills. An order that is not open is recorded as it came, as add() records it (a
    // fill-or-kill of one changes nothing). NaN or infinite quantities are refused first.
    // The sweep fills an immediate order when its remainder closes, or when the quantities it
    // trades, summed in the sweep's order from 0.0 (as a level's quantity is summed), reach the
    // order's quantity: asks of 0.1 and 0.2 hold 0.30000000000000004, and an order for that much
    // takes both and is Filled, though subtracting leaves 2.8e-17. (add() keeps the order's own
    // filling: what the subtractions leave rests.)
    Result<std::vector<Fill>> take(const Order& order, bool all_or_none, Environment& environment,
                                   BeforeCommit* before_commit = nullptr);

    // Changes the first resting copy of `id` (the one queue_position() reports on): nullopt (and
    // no change) when the id names no resting order. A refused value changes nothing; with neither value given nothing changes. A lower
    // or equal quantity at the same price changes the copy in place, keeping its place in the
    // queue. A higher quantity or another price takes it out of its level and enters it again as
    // an incoming order with the same id and side and a new timestamp: it matches first if its new
    // price crosses (the fills are returned) and any remainder rests at the back of its level.
    // The registry records the order's new value in every case.
    Result<std::optional<std::vector<Fill>>> amend(std::string_view id, std::optional<double> quantity,
                                                   std::optional<std::int64_t> price_in_ticks,
                                                   Environment& environment, BeforeCommit* before_commit = nullptr);

    // Removes every filled order from the registry, except an id that still has resting copies
    // (the same order added twice, one copy filled); returns how many it removed.
    std::size_t forget_filled() noexcept;

    // The id of the order resting under a caller's reference, or null. An order replay entered
    // gets its id when it is first asked for (drawn from `ids`; on failure nothing changes), and
    // keeps it.
    Result<const OrderId*> order_id(std::uint64_t ref, IdGenerator& ids);

    // Orders entered by replay have no id until someone asks for one: a replay's caller works with
    // references, and drawing a random id for every replayed order cost 13-16% of a replay. Every
    // query that shows ids names the orders it shows first: the listings (one side, `side`), a
    // copy or saved state (both sides), the per-call operations' fills. Each id is a random
    // version 4 UUID drawn when the order is named and the same whenever asked afterwards. All or
    // nothing: every id is drawn before any is given, so a failing random source changes nothing.
    Result<void> name_resting(IdGenerator& ids, std::optional<OrderType> side = std::nullopt);
    // How many resting orders have no id yet.
    std::size_t unnamed_count() const noexcept { return registry_.unnamed(); }

    // Applies a batch of events (`count` packed ReplayEvent records of `layout` at `events`) in
    // order: add, cancel, amend (the event's quantity and price are the new values),
    // immediate-or-cancel and fill-or-kill exactly as the per-call operations would, and the feed
    // verbs post, execute, reduce and replace (see EventKind). Orders are entered under the
    // caller's references, which the book keeps across batches while the orders rest. An event is
    // checked first on its own values (kind, a new order's side, quantity, price, a new reference
    // of no_ref): rejected with its reason; then against the book: a reference that does not rest
    // is an unknown reference, a new order's reference that rests is rejected; neither changes
    // anything. Posted and replacing orders never match, so the book may be crossed; everything
    // else works on a crossed book as on any other. An immediate order leaves no registry record
    // once it ends (nobody was given its id), and orders enter without ids (see name_resting).
    // With the feed layout the event's timestamp is the time of what it enters and of its fills,
    // and the clock is not read; with the order layout the clock is read once, by the first
    // event that needs a time, and that reading is the time of every order and fill of the call. Runs without
    // touching Python, so the caller may release the interpreter lock. When the clock or the
    // random source fails, or memory runs out, at an event, the events before it stay applied,
    // that event changes nothing, and the error says which event it was (std::bad_alloc cannot);
    // `out.applied` counts the events applied either way, and `out` holds their results.
    // It applies the events from `options.start` on, and stops early after the first event that
    // meets one of `options.stop` (or before the first whose time reaches `until`): out.next is
    // then the first event not applied, out.stopped the StopReason bits met. Orders it enters
    // carry `options.owner`.
    Result<void> replay(const std::byte* events, std::size_t count, EventLayout layout, const ReplayOptions& options,
                        Environment& environment, ReplayOutput& out);

    // The best `levels` levels of each side, best first (highest bid, lowest ask). The cost grows
    // with `levels` and the orders of those levels, never with the rest of the book.
    std::pair<std::vector<LevelDepth>, std::vector<LevelDepth>> depth(std::uint64_t levels) const;
    // The level at a price: one look-up in the price index. Zeros where there is none.
    LevelDepth volume_at(OrderType side, std::int64_t price_in_ticks) const noexcept;
    // Where the first resting copy of `id` stands in its level; nullopt when the id names no
    // resting order. With several copies (the same order added twice), the first one at the
    // registry's recorded price counts, else the first one in the listings' order.
    std::optional<QueuePosition> queue_position(std::string_view id) const noexcept;

    // Makes an order from a decimal price without touching the book: price / tick size, rounded to
    // nearest with ties away from zero, saturated to 64 bits.
    Result<Order> create_order(OrderType side, double price, double quantity, Environment& environment) const;

    std::optional<BestLevel> best_bid() const noexcept;
    std::optional<BestLevel> best_ask() const noexcept;
    double buy_volume() const noexcept { return volume(OrderType::Buy); }
    double sell_volume() const noexcept { return volume(OrderType::Sell); }
    std::optional<double> spread() const noexcept;

    // "Best Bid: ..., Best Ask: ... (Spread: ...)\nOpen Buy Volume: ..., Open Sell Volume: ..."
    std::string summary() const;

    // Resting orders of one side, lowest price first, oldest first within a level.
    std::size_t resting_count(OrderType side) const noexcept { return resting_count_[index(side)]; }
    template <class Visit>
    void for_each_resting(OrderType side, Visit&& visit) const;

    // Checks every structural invariant; returns a description of the first broken one.
    std::optional<std::string> find_broken_invariant() const;
    // The longest probe runs of the price indexes and of the id tables (the registry and the
    // references), for tests of the hashes.
    std::size_t longest_price_probe_run() const noexcept;
    std::size_t longest_id_probe_run() const noexcept;

private:
    using Side = SideLevels;
    using PriceIndex = IndexTable<50>;
    using RefIndex = IndexTable<50>;

    OrderBook(const OrderBook&) = default;

    static std::size_t index(OrderType side) noexcept { return side == OrderType::Buy ? 0 : 1; }
    Side& side_map(OrderType side) noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    const Side& side_map(OrderType side) const noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    // The sum of a side's open quantities in the listings' order from -0.0, kept (as a level keeps
    // its total) while the side changes only by orders joining the back of its last level in that
    // order, and walked again otherwise from the first level that changed (each level keeps the
    // running total after it): asked again of a side that has not changed, it is one read; after
    // a change at the best bid (the bids' last level in that order) a few levels are walked; after
    // a change at the best ask, the whole side (0.21-0.24 ms for the 50,000 orders on 3,000 levels
    // of bench/run.py's deep book, where the previous core's contiguous slots took 0.10-0.15 ms).
    double volume(OrderType side) const noexcept;
    // A level's orders changed other than by one joining at its back: its total and its side's
    // are forgotten.
    void quantity_changed(Level& level) noexcept {
        level.quantity_known = false;
        side_changed_at(level);
    }
    // The side's total changed at `level`: forgotten, and the running totals from that level on.
    void side_changed_at(const Level& level) noexcept {
        const std::size_t at = index(level.side);
        side_total_known_[at] = false;
        if (level.price_in_ticks < folded_below_[at]) {
            folded_below_[at] = level.price_in_ticks;
        }
    }
    // Visits the nodes of `levels` (iterators over a side's map, in the order given) in that
    // order and queue order. A level's queue is a chain of dependent loads through the pool, so
    // the walk follows the chains of several levels at once and then visits what it gathered in
    // order: buy_volume() of a deep book (50 000 orders on 3 000 levels) took 0.68 ms following
    // one chain at a time and 0.33-0.46 ms following eight (best of 5, bench/run.py's deep flow,
    // a loaded machine); sixteen gained nothing more. With a level's nodes allocated next to one
    // another (NodePool) it takes 0.23-0.31 ms, and following one chain at a time then 0.37 ms.
    // (The previous core's contiguous slots took 0.10-0.15 ms: walks over a whole deep book are
    // where queues of nodes lose.)
    // `level_done` is told each level (its index) once its orders are visited.
    template <class Iterator, class Visit, class LevelDone>
    void walk_in_order(Iterator level, Iterator end, Visit&& visit,
                       LevelDone&& level_done) const;  // as noexcept as `visit` and `level_done`

    Registry::Entry& record(const Order& order);

    // --- levels and nodes (levels.cpp) ---
    // The level at a price, or no_index.
    std::uint32_t level_at(OrderType side, std::int64_t price) const noexcept;
    // The node resting under a caller's reference, or no_index.
    std::uint32_t node_under(std::uint64_t ref) const noexcept;
    // A resting node as an order: its entry's id, its level's side and price, Open.
    Order order_of(std::uint32_t node) const noexcept;
    // The sum of a level's open quantities in queue order from 0.0 (cached; see Level).
    double level_quantity(const Level& level) const noexcept;

    RestPlan prepare_rest(const Order& order, std::uint64_t ref = no_ref);
    // Links `order` at the back of its level under `ref` and records it (in `entry` when the
    // caller has already found its id's entry; `node` when the caller moves a node it has already
    // unlinked, which keeps its reference). Allocates nothing after prepare_rest.
    void commit_rest(const Order& order, RestPlan&& plan, Registry::Entry* entry = nullptr, std::uint64_t ref = no_ref,
                     std::uint32_t node = no_index);
    // Rests an order that crosses nothing at a level that exists, when every pool and index has
    // room for it: the common case of a new order (a replayed one unnamed, an added one with its
    // id), done without a plan since nothing in it allocates. False (and nothing done) otherwise.
    // `before_commit` sees the (no) fills first, as after a plan; its error ends the call with
    // nothing done.
    Result<bool> rest_if_quiet(const Order& order, std::uint64_t ref, bool named,
                               BeforeCommit* before_commit = nullptr);
    // Unlinks a node from its level (which stays, even empty) and from its entry's count; the
    // node itself stays allocated.
    void unlink(std::uint32_t node) noexcept;
    // A node leaves the book: unlinked, its reference freed, the node released and an emptied
    // level removed. Its entry is left to the caller.
    void remove(std::uint32_t node) noexcept;
    // Removes an emptied level from its map and index and releases it.
    void erase_level(std::uint32_t level) noexcept;

    // --- matching (matching.cpp) ---
    // add(), add_as() and take(): an order entered for its time in force, what rests of it under
    // `ref` (or no_ref).
    Result<std::vector<Fill>> enter(const Order& arriving, TimeInForce time_in_force, std::uint64_t ref,
                                    Environment& environment, BeforeCommit* before_commit);
    // Who sees what an entering order does: a per-call caller (`ids` given) sees the ids of the
    // fills, so the resting orders it trades with are named in the plan, and the order itself
    // has its id; a replay (`ids` null) sees references only, so nothing is named and its order
    // enters without an id.
    // The fills that `incoming` would make against the opposite side, appended to `fills` in
    // order, each with its time read from the clock; returns what the incoming order would be
    // after them. Changes nothing.
    // With the book's self-trade policy on and an incoming order with an owner, the plan also
    // lists in `self_trades` what the rule does. With `ids`, every unnamed order it trades with
    // gets an id drawn now, appended to `names` for the commit to give, and the fill carries it.
    Result<Order> plan_sweep(const Order& incoming, WallClock& clock, std::vector<Fill>& fills,
                             std::vector<Matched>* matched, SelfTrades& self_trades, IdGenerator* ids,
                             std::vector<Naming>& names) const;
    // Gives the drawn ids (room made by registry_.reserve_names). Cannot fail.
    void commit_names(const std::vector<Naming>& names) noexcept;
    // The plan of name_resting: an id drawn for each unnamed resting order (of one side, or
    // both), in the listings' order, and room in the registry's table to give them. Every id is
    // drawn before any is given, so a failure leaves every order as it was.
    Result<std::vector<Naming>> draw_names(IdGenerator& ids, std::optional<OrderType> side);
    // Makes the planned fills and self-trade steps: the resting orders lose their quantities (the
    // filled ones leave, emptied levels go) and the registry records them; `incoming` loses the
    // same quantities. Allocates nothing and cannot fail.
    void commit_sweep(Order& incoming, const std::vector<Fill>& fills, const SelfTrades& self_trades) noexcept;
    // A resting order the self-trade rule cancels: it leaves its level, and its id's value says
    // Canceled with `open` (what it had open, or 0.0 after a decrement took all of it), unless
    // other copies of the id rest.
    void cancel_for_self_trade(std::uint32_t node, double open) noexcept;

    // The shared body of add, take and a replayed new order, in two steps (see EntryPlan).
    // `ids` as for plan_sweep: null for a replayed order, which then enters unnamed and leaves
    // no record unless it rests.
    Result<EntryPlan> plan_entry(const Order& order, TimeInForce time_in_force, std::uint64_t ref, WallClock& clock,
                                 IdGenerator* ids, std::vector<Fill>& fills, std::vector<Matched>* matched);
    std::optional<Order> commit_entry(EntryPlan&& plan, const std::vector<Fill>& fills);

    // --- amendments and cancels (amendments.cpp) ---
    // The first resting node of an entry's id: its lone node; of several, the first one at the
    // recorded value's price, else the first one in the listings' order; no_index when none rests.
    std::uint32_t first_copy(const Registry::Entry& entry) const noexcept;
    // The body of amend() for an entry, in the same two steps (see AmendmentPlan).
    Result<AmendmentPlan> plan_amendment(Registry::Entry& entry, std::optional<double> quantity,
                                         std::optional<std::int64_t> price_in_ticks, WallClock& clock,
                                         IdGenerator* ids, std::vector<Fill>& fills, std::vector<Matched>* matched);
    Order commit_amendment(AmendmentPlan&& plan, const std::vector<Fill>& fills);
    // The body of cancel() for a recorded entry; returns the open quantity it took out.
    double cancel_entry(Registry::Entry& entry) noexcept;

    // --- replay (replay.cpp) ---
    // One event of a replay (event `index` of the array), its outcome written to out.events[row]
    // and its fills appended; what it enters carries `owner`.
    Result<void> apply(const ReplayEvent& event, std::size_t index, std::size_t row, std::uint32_t owner,
                       EventLayout layout, Environment& environment, std::vector<Fill>& fills,
                       std::vector<Matched>& matched, ReplayOutput& out);
    // Cache hints for the events `ahead` places after the one about to be applied (see replay()).
    void prefetch_ahead(std::uint64_t ref, unsigned ahead) const noexcept;
    // The stop conditions' view of the book (TouchState, QueueState: stop_conditions.hpp).
    // Whether the best level of `side` changed since `touch` was taken; `touch` becomes the
    // present one.
    bool touch_changed(OrderType side, TouchState& touch) const noexcept;
    // Whether the order under a queued reference may have changed place since `queued` was taken
    // (looked at before any level's total is worked out again).
    bool queue_may_have_changed(const QueueState& queued, const ReplayEvent& event) const noexcept;
    // Where the order under `ref` stands now, its level's total left known.
    QueueState queue_state(std::uint64_t ref) const noexcept;
    // The feed verbs of apply(): a new order (checked) rested without matching, an execution or
    // reduction of a named order where it stands, a replacement.
    Result<void> post(const ReplayEvent& event, std::uint32_t owner, Environment& environment, EventOutcome& outcome);
    Result<void> execute_or_reduce(const ReplayEvent& event, std::size_t index, bool executes, WallClock& clock,
                                   EventOutcome& outcome, ReplayOutput& out);
    Result<void> replace(const ReplayEvent& event, std::uint32_t owner, Environment& environment, EventOutcome& outcome);
    // A replayed new order: its time from the clock, and no id (see name_resting).
    static Result<Order> unnamed_order(const ReplayEvent& event, OrderType side, WallClock& clock);
    // An unnamed entry whose node has left goes with it: nobody can ask for its value.
    void drop_if_unnamed(Registry::Entry& entry) noexcept;
    // The best `depth` levels of each side into the two rows (left as they are past the last level).
    void write_depth(std::size_t depth, LevelRecord* bids, LevelRecord* asks) const noexcept;

    double tick_size_;
    SelfTrade self_trade_ = SelfTrade::Off;
    Registry registry_;
    NodePool nodes_;
    LevelPool levels_;
    Side bids_;
    Side asks_;
    PriceIndex level_index_[2];
    RefIndex refs_;  // reference -> its resting node
    std::size_t resting_count_[2] = {0, 0};
    mutable double side_total_[2] = {-0.0, -0.0};  // see volume()
    mutable bool side_total_known_[2] = {true, true};
    // Every level of the side priced below this mark has its fold_after right (see volume()).
    mutable std::int64_t folded_below_[2] = {std::numeric_limits<std::int64_t>::max(),
                                             std::numeric_limits<std::int64_t>::max()};
};

}  // namespace varnholt

#include "order_book_walks.hpp"
