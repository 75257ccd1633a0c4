#pragma once

// The records of a batch replay: what the caller's event array holds, and what the replay
// reports per event, per fill and per depth snapshot. All are packed little-endian records whose
// layouts the binding publishes as NumPy dtype descriptions; callers build on them, so a layout
// only ever grows at its end (as the event result did with its reason and at_front).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace varnholt {

// One event as it lies in the caller's array, in either of two packed layouts. The order layout,
// 26 bytes: kind u8, side u8, price_in_ticks i64, quantity f64, ref u64; orders and fills take
// their times from the clock. The feed layout, 42 bytes: the same, then new_ref u64 (read by a
// replacement only) and timestamp u64, the market's time of the event, which every order the event
// enters and every fill it makes carries instead of a clock reading.
struct ReplayEvent {
    std::uint8_t kind;
    std::uint8_t side;
    std::int64_t price_in_ticks;
    double quantity;
    std::uint64_t ref;
    std::uint64_t new_ref;
    std::uint64_t timestamp;
};
inline constexpr std::size_t replay_event_size = 26;
inline constexpr std::size_t feed_event_size = 42;
enum class EventLayout : std::uint8_t { Order, Feed };

// Add, cancel, amend and the two immediate orders do what the per-call methods do. The feed verbs
// mirror what an exchange did without matching again: post rests a new order as given, execute
// trades a named resting order with an unnamed aggressor, reduce lowers a named order in place,
// replace takes a named order out and rests a new one under a new reference (feed layout only).
enum class EventKind : std::uint8_t {
    Add = 0,
    Cancel = 1,
    Amend = 2,
    ImmediateOrCancel = 3,
    FillOrKill = 4,
    Post = 5,
    Execute = 6,
    Reduce = 7,
    Replace = 8,
};
inline constexpr std::uint8_t event_kinds = 9;
enum class EventStatus : std::uint8_t { Applied = 0, Rejected = 1, UnknownRef = 2 };
// Why an event was rejected; None for every other status.
enum class RejectReason : std::uint8_t {
    None = 0,
    Kind = 1,      // out of range, or a replacement in the order layout
    Side = 2,      // a new order's side is neither buy nor sell
    Quantity = 3,  // not positive and finite
    Price = 4,     // not positive
    LiveRef = 5,   // a new order's reference already rests
    NoRef = 6,     // a new order's reference is no_ref
    Exceeds = 7,   // an execution or reduction of more than the order's open quantity
};

#pragma pack(push, 1)
// Per event, 24 bytes: status, then the side and price of the order it concerned (for a cancel,
// amendment, execution or reduction, as they were before; for a replacement, the new order's), the
// open quantity the order has after it (for a cancel, the quantity cancelled; for an immediate
// order, what it dropped), how many fills it made, why it was rejected, and whether an execution's
// order was the front of its level. A refused event echoes its own side, price and quantity.
struct EventOutcome {
    std::uint8_t status;
    std::uint8_t side;
    std::int64_t price_in_ticks;
    double quantity;
    std::uint32_t fills;
    std::uint8_t reason;
    std::uint8_t at_front;
};
#pragma pack(pop)
static_assert(sizeof(EventOutcome) == 24);

// Per fill, 48 bytes: the event (its index in the batch), the resting and incoming orders'
// references (no_ref for an order entered without one), the trade's price (the resting order's)
// and quantity, and its time.
struct FillRecord {
    std::uint64_t event;
    std::uint64_t resting_ref;
    std::uint64_t incoming_ref;
    std::int64_t price_in_ticks;
    double quantity;
    std::uint64_t timestamp;
};
static_assert(sizeof(FillRecord) == 48);

// One level of a depth snapshot, 24 bytes; zeros where the side has no such level.
struct LevelRecord {
    std::int64_t price_in_ticks;
    double quantity;
    std::uint64_t orders;
};
static_assert(sizeof(LevelRecord) == 24);

// Why a replay stopped before the end of its events, as bits (one event may meet several).
enum StopReason : std::uint8_t {
    StopFill = 1,   // a fill named a watched reference
    StopTouch = 2,  // the best bid or ask changed: its price, its level's total, or whether there is one
    StopQueue = 4,  // what rests ahead of a queued reference changed, or that order came, left or moved
    StopTime = 8,   // the next event's time reached `until` (that event is not applied)
};

// When a replay hands control back early. Each condition is looked at only when given: with none
// the loop pays one predictable branch per event.
struct StopConditions {
    std::span<const std::uint64_t> watch;   // references whose fills stop it
    bool touch = false;
    std::span<const std::uint64_t> queue;   // references whose place in the queue is watched
    std::optional<std::uint64_t> until;     // feed layout only: an event time not to reach

    bool any() const noexcept { return !watch.empty() || touch || !queue.empty() || until.has_value(); }
};

// Told once when a replay that may stop early has applied `long_run_events` events and goes on:
// its caller may then let other work run beside it (the binding releases the interpreter lock, which
// it keeps for the short runs a stopping replay usually makes).
struct LongRun {
    static constexpr std::size_t long_run_events = 64;
    virtual void started() = 0;

protected:
    ~LongRun() = default;
};

struct ReplayOptions {
    std::size_t depth = 0;  // levels per side in each snapshot; none when 0
    std::size_t every = 1;  // a snapshot after every `every`-th event applied
    std::size_t start = 0;  // the first event applied (at most the count)
    std::uint32_t owner = 0;  // the owner of every order the replay enters
    StopConditions stop;
    LongRun* long_run = nullptr;  // told when the run gets long, if given
};

struct ReplayOutput {
    std::vector<EventOutcome> events;
    std::vector<FillRecord> fills;
    std::vector<LevelRecord> bids;  // snapshots x depth, best level first
    std::vector<LevelRecord> asks;
    std::size_t snapshots = 0;
    // The events applied so far, whole: when a replay stops at an event (an error, or running out
    // of memory, or a stop condition), the ones before it, whose results are above.
    std::size_t applied = 0;
    std::size_t next = 0;        // the index of the first event not applied
    std::uint8_t stopped = 0;    // the StopReason bits of the condition met; 0 when it ran through
};

}  // namespace varnholt
