#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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
#include "key_index.hpp"
#include "registry.hpp"
#include "replay.hpp"

namespace varnholt {

// A caller's reference for an order (replay() enters orders under their references); no_ref marks
// orders entered without one, and is never a reference itself.
inline constexpr std::uint64_t no_ref = ~std::uint64_t{0};

// (price in ticks, quantity of the front order) of a best level.
using BestLevel = std::pair<std::int64_t, double>;

// One level as depth() and volume_at() see it: its price, the sum of the open quantities of its
// resting orders (in queue order from 0.0) and how many orders rest there.
struct LevelDepth {
    std::int64_t price_in_ticks = 0;
    double quantity = 0.0;
    std::uint64_t orders = 0;
};

// Orders and open quantity ahead of a resting order in its level.
struct QueuePosition {
    std::uint64_t orders_ahead = 0;
    double quantity_ahead = 0.0;
};

// One price level: a FIFO of resting copies kept contiguous, so that matching, volumes and listings
// walk memory in order. A copy that leaves is vacated in place (its status is no longer Open;
// resting copies are always Open). `head` is always the first live slot while the level has any.
// Slots are numbered by a sequence that never changes while a copy rests: the slot at index i has
// number first_sequence + i, so dropping the consumed prefix (after fills from the front) moves
// memory but renumbers nothing; only squeezing out holes left by cancels renumbers, and that runs
// once holes outnumber live copies. Each slot also keeps the index of its id's registry entry, so
// matching records a fill without hashing.
struct RestingOrder {
    Order order;
    std::uint32_t entry;
    std::uint64_t ref = no_ref;  // the caller's reference for an order entered by one
};

struct Level {
    std::vector<RestingOrder> slots;
    std::uint64_t first_sequence = 0;
    std::uint32_t head = 0;
    std::uint32_t live = 0;
    std::int64_t price_in_ticks = 0;
    OrderType side = OrderType::Buy;
    // The sum of the open quantities of the live copies in queue order from 0.0, worked out by a
    // walk when asked for and kept while copies only join at the back, since adding each newcomer
    // to it is exactly the walk's next step; anything else that changes a copy forgets it. (A
    // running total that also subtracted would drift from the walk: 0.1 + 0.2 - 0.1 is not 0.2.)
    mutable double known_quantity = 0.0;
    mutable bool quantity_known = true;

    double quantity() const noexcept;

    // Registry entries keep slot numbers modulo 2^32; a level never holds 2^32 slots at once, so
    // the difference is exact.
    std::uint32_t sequence_at(std::size_t position) const noexcept {
        return static_cast<std::uint32_t>(first_sequence + position);
    }
    std::uint32_t position_of(std::uint32_t sequence) const noexcept {
        return sequence - static_cast<std::uint32_t>(first_sequence);
    }
};

// Shown what an entering order or an amendment is about to return, after its plan and before its
// commit: whoever hands the result on (the Python binding, which makes the list of Fill objects
// here) makes everything it needs now, because nothing may fail once the book has changed. An
// error (or an exception) ends the operation with the book as it was, and the operation returns
// that error.
class BeforeCommit {
public:
    virtual Result<void> ready(std::span<const Fill> fills) = 0;

protected:
    ~BeforeCommit() = default;
};

// A single-instrument limit order book with price-time priority.
//
// Every operation either completes or leaves the book exactly as it was: when memory runs out or
// the clock fails part-way, nothing has changed. Each operation first works out what it will do
// (the fills of a sweep, with their times read from the clock) and allocates everything that the
// change needs (the registry's room, the level and its slot), and only then changes the book with
// steps that cannot fail. A sweep is therefore all or nothing: it never reports part of its fills.
//
// Containers, chosen for the add/cancel hot path and for walks over deep books:
// - Each side is a std::map from price to Level: ordered iteration, and the best level is
//   begin() or rbegin() in O(1). A hash index from price to level beside it finds the level of
//   a resting order in one probe, and the buffers of emptied levels are kept for new ones.
// - A level keeps its copies contiguously (see Level): resting an order appends, a fill takes the
//   front, a cancel vacates a slot in O(1).
// - The registry (see Registry) maps id text to the last recorded copy and remembers where the
//   id's resting copy is, so a cancel costs one hash look-up and no search.
// The book keeps its own copies: nothing it holds is shared with a caller.
class OrderBook {
public:
    explicit OrderBook(double tick_size = 0.01) : tick_size_(tick_size) {}

    // The book holds iterators and pointers into its own containers, which a memberwise copy
    // would leave pointing into the original. A move keeps them all valid: the map nodes, the
    // levels' buffers and the registry's arrays stay where they are.
    OrderBook(const OrderBook&) = delete;
    OrderBook& operator=(const OrderBook&) = delete;
    OrderBook(OrderBook&&) noexcept = default;
    OrderBook& operator=(OrderBook&&) = delete;

    // An independent copy: the same registry, levels and queues (a linear pass over the book's
    // containers, with the pointers into them made to point into the copy's).
    OrderBook copy() const { return OrderBook(*this, copying); }

    // The book's saved state: the layout of state.hpp (version, kind 3), then the tick size (f64),
    // the registry and the two sides; the README describes it field by field.
    std::string save_state() const;
    // A book made from a saved state. Everything is checked before anything is built: the
    // lengths and counts, every value's range, ids and the order of the levels (a crossed book,
    // which replay's feed verbs can make, restores as it was); a damaged state is refused
    // (InvalidValue) with what is wrong.
    static Result<OrderBook> restore(std::string_view state);

    double tick_size() const noexcept { return tick_size_; }

    // Matches `arriving` (copied) against the opposite side and rests any open remainder; returns
    // the fills in match order. An order whose quantity
    // is NaN or infinite is refused before anything changes: with such quantities a match can
    // leave both orders open and the matching loop would never end. `before_commit`, when given,
    // sees the fills before anything changes (see BeforeCommit); take() and amend() alike.
    Result<std::vector<Fill>> add(const Order& arriving, WallClock& clock, BeforeCommit* before_commit = nullptr);

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
    Result<std::vector<Fill>> take(const Order& order, bool all_or_none, WallClock& clock,
                                   BeforeCommit* before_commit = nullptr);

    // Changes the first resting copy of `id` (the one queue_position() reports on): nullopt (and
    // no change) when the id names no resting order. A refused value changes nothing; with neither value given nothing changes. A lower
    // or equal quantity at the same price changes the copy in place, keeping its place in the
    // queue. A higher quantity or another price takes it out of its level and enters it again as
    // an incoming order with the same id and side and a new timestamp: it matches first if its new
    // price crosses (the fills are returned) and any remainder rests at the back of its level.
    // The registry records the order's new value in every case.
    Result<std::optional<std::vector<Fill>>> amend(std::string_view id, std::optional<double> quantity,
                                                   std::optional<std::int64_t> price_in_ticks, WallClock& clock,
                                                   BeforeCommit* before_commit = nullptr);

    // Removes every filled order from the registry, except an id that still has resting copies
    // (the same order added twice, one copy filled); returns how many it removed.
    std::size_t forget_filled() noexcept;

    // The id of the order resting under a caller's reference, or null.
    const OrderId* order_id(std::uint64_t ref) const noexcept;

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
    // once it ends (nobody was given its id). With the feed layout the event's timestamp is
    // the time of what it enters and of its fills, and the clock is not read. Runs without
    // touching Python, so the caller may release the interpreter lock. When the clock or the
    // random source fails, or memory runs out, at an event, the events before it stay applied,
    // that event changes nothing, and the error says which event it was (std::bad_alloc cannot);
    // `out.applied` counts the events applied either way, and `out` holds their results.
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
    double buy_volume() const noexcept { return volume(bids_); }
    double sell_volume() const noexcept { return volume(asks_); }
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
    using Side = std::map<std::int64_t, Level>;

    struct Copying {};
    static constexpr Copying copying{};
    OrderBook(const OrderBook& other, Copying);

    static std::size_t index(OrderType side) noexcept { return side == OrderType::Buy ? 0 : 1; }
    Side& side_map(OrderType side) noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    const Side& side_map(OrderType side) const noexcept { return side == OrderType::Buy ? bids_ : asks_; }
    double volume(const Side& side) const noexcept;

    Registry::Entry& record(const Order& order);

    enum class TimeInForce : std::uint8_t { GoodTillCancelled, ImmediateOrCancel, FillOrKill };
    // The resting order a planned fill trades with: its reference and price.
    struct Matched {
        std::uint64_t resting_ref;
        std::int64_t price_in_ticks;
    };


    // The first resting copy of an entry's id: its lone copy; of several, the first one at the
    // recorded value's price, else the first one in the listings' order.
    struct CopyPlace {
        const Level* level;
        std::uint32_t position;
    };
    std::optional<CopyPlace> first_copy(const Registry::Entry& entry) const noexcept;
    const Level* level_of(OrderType side, std::int64_t price) const noexcept;

    // The fills that `incoming` would make against the opposite side, appended to `fills` in
    // order, each with its time read from the clock; returns what the incoming order would be
    // after them. Changes nothing.
    Result<Order> plan_sweep(const Order& incoming, WallClock& clock, std::vector<Fill>& fills,
                             std::vector<Matched>* matched = nullptr) const;
    // Makes the planned fills: the resting orders lose their quantities (the filled ones leave,
    // emptied levels go) and the registry records them; `incoming` loses the same quantities.
    // Allocates nothing and cannot fail.
    void commit_sweep(Order& incoming, const std::vector<Fill>& fills) noexcept;

    // What resting an order needs, allocated ahead: the registry's room for its entry, and either
    // room in its existing level or a new level not yet in the map.
    struct RestPlan {
        Level* level = nullptr;
        Side::node_type new_level;
    };
    RestPlan prepare_rest(const Order& order, std::uint64_t ref = no_ref);
    // Appends `order` at the back of its level under `ref` and records it (in `entry` when the
    // caller has already found its id's entry). Allocates nothing after prepare_rest.
    void commit_rest(const Order& order, RestPlan&& plan, Registry::Entry* entry = nullptr, std::uint64_t ref = no_ref);
    // A resting copy under a reference leaves the book: the reference is free again.
    void release_ref(const RestingOrder& slot) noexcept {
        if (slot.ref != no_ref) {
            refs_.erase(static_cast<std::int64_t>(slot.ref));
        }
    }

    // The shared body of add, take and a replayed new order, in two steps. The plan matches
    // `order` (copied) against the opposite side without changing anything, appending the fills
    // (and, if asked, what they trade with) to the empty `fills` and `matched`, and allocates what
    // resting its remainder under `ref` needs. The commit then changes the book and cannot fail:
    // the remainder rests, or is dropped (an immediate order), or nothing happens at all (a
    // fill-or-kill that would not fill completely: killed, and the commit returns nullopt).
    // Otherwise it returns the order as it ends.
    struct EntryPlan {
        Order arriving;
        TimeInForce time_in_force;
        std::uint64_t ref;
        bool killed;
        bool rests;
        RestPlan rest;
        bool filled_by_sum = false;  // an immediate order the sweep fills, with a remainder left by rounding
    };
    Result<EntryPlan> plan_entry(const Order& order, TimeInForce time_in_force, std::uint64_t ref, WallClock& clock,
                                 std::vector<Fill>& fills, std::vector<Matched>* matched);
    std::optional<Order> commit_entry(EntryPlan&& plan, const std::vector<Fill>& fills);

    // The body of amend() for an entry, in the same two steps. A plan without a level means the
    // id has no resting copy. The commit returns the first copy as it is now; `before` in the plan
    // is how it was.
    struct AmendmentPlan {
        Level* level = nullptr;
        std::uint32_t position = 0;
        std::uint32_t entry_index = 0;
        Order before;
        Order after;
        bool in_place = false;
        bool moves = false;
        bool rests = false;
        RestPlan rest;
    };
    Result<AmendmentPlan> plan_amendment(Registry::Entry& entry, std::optional<double> quantity,
                                         std::optional<std::int64_t> price_in_ticks, WallClock& clock,
                                         std::vector<Fill>& fills, std::vector<Matched>* matched);
    Order commit_amendment(AmendmentPlan&& plan, const std::vector<Fill>& fills);
    // The body of cancel() for a recorded entry; returns the open quantity it took out.
    double cancel_entry(Registry::Entry& entry) noexcept;

    // Rests an order that crosses nothing at a level that exists, when the level, the registry
    // and the references all have room for it: the common case of a replayed new order, done
    // without a plan since nothing in it allocates. False (and nothing done) otherwise.
    bool rest_if_quiet(const Order& order, std::uint64_t ref);

    // One event of a replay, its outcome written to out.events[index] and its fills appended.
    Result<void> apply(const ReplayEvent& event, std::size_t index, EventLayout layout, Environment& environment,
                       std::vector<Fill>& fills, std::vector<Matched>& matched, ReplayOutput& out);
    // The feed verbs of apply(): a new order (checked) rested without matching, an execution or
    // reduction of a named order where it stands, a replacement.
    Result<void> post(const ReplayEvent& event, Environment& environment, EventOutcome& outcome);
    Result<void> execute_or_reduce(const ReplayEvent& event, std::size_t index, bool executes, WallClock& clock,
                                   EventOutcome& outcome, ReplayOutput& out);
    Result<void> replace(const ReplayEvent& event, Environment& environment, EventOutcome& outcome);
    // An immediate order of a replay has ended without resting, and nobody was given its id: its
    // registry record goes, so that replaying immediate orders grows neither memory nor pickles.
    void forget_immediate(const Order& ended) noexcept;
    // The resting copy entered under `ref`; nullopt when no order rests under it.
    std::optional<CopyPlace> copy_under(std::uint64_t ref) const noexcept;
    // The best `depth` levels of each side into the two rows (left as they are past the last level).
    void write_depth(std::size_t depth, LevelRecord* bids, LevelRecord* asks) const noexcept;

    // Removes an emptied level from its map and index and keeps its buffer for a later level.
    void erase_level(OrderType side, std::int64_t price) noexcept;
    // Vacates one live slot and keeps `head` on the first live slot; the caller removes an emptied
    // level.
    void vacate(Level& level, std::uint32_t position) noexcept;
    // Takes one live copy out of its level: the slot is vacated and its reference freed, and the
    // registry's entry no longer counts it. The caller records the entry's new value and then
    // tidies the level (tidy_level), which may remove it.
    void take_out(Level& level, std::uint32_t position, Registry::Entry& entry) noexcept;
    // An emptied level goes; any other may be compacted.
    void tidy_level(Level& level) noexcept;
    // The registry's side of a copy leaving the book.
    void forget_copy(Registry::Entry& entry) noexcept;
    // Drops the consumed prefix, and squeezes out holes once they outnumber the live copies.
    void compact_if_sparse(Level& level) {
        // Either way needs at least `compaction_slack` dead slots; most calls end at this test.
        if (level.slots.size() - level.live >= compaction_slack) {
            compact(level);
        }
    }
    void compact(Level& level) noexcept;
    static constexpr std::size_t compaction_slack = 32;
    // Keep a bounded number of small buffers: new levels appear and vanish near the touch all
    // the time, and reusing a buffer saves its allocation and its first growths. The spares live
    // in a fixed array, so keeping one never allocates.
    static constexpr std::size_t spare_limit = 64;
    static constexpr std::size_t spare_capacity_limit = 256;
    static constexpr std::size_t initial_slots = 8;

    double tick_size_;
    Registry registry_;
    Side bids_;
    Side asks_;
    KeyIndex<Side::iterator> level_index_[2];
    KeyIndex<std::uint32_t> refs_;  // reference -> registry entry of its resting order
    std::array<std::vector<RestingOrder>, spare_limit> spare_buffers_;
    std::size_t spare_count_ = 0;
    std::size_t resting_count_[2] = {0, 0};
};

template <class Visit>
void OrderBook::for_each_resting(OrderType side, Visit&& visit) const {
    for (const auto& [price, level] : side_map(side)) {
        for (std::size_t position = level.head; position < level.slots.size(); ++position) {
            if (level.slots[position].order.is_open()) {
                visit(level.slots[position].order);
            }
        }
    }
}

}  // namespace varnholt
