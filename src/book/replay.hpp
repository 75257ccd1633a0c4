#pragma once

// The records of a batch replay: what the caller's event array holds, and what the replay
// reports per event, per fill and per depth snapshot. All are packed little-endian records whose
// layouts the binding publishes as NumPy dtype descriptions; they must not change.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnholt {

// One event as it lies in the caller's array, packed, 26 bytes: kind u8, side u8,
// price_in_ticks i64, quantity f64, ref u64.
struct ReplayEvent {
    std::uint8_t kind;
    std::uint8_t side;
    std::int64_t price_in_ticks;
    double quantity;
    std::uint64_t ref;
};
inline constexpr std::size_t replay_event_size = 26;

enum class EventKind : std::uint8_t { Add = 0, Cancel = 1, Amend = 2, ImmediateOrCancel = 3, FillOrKill = 4 };
enum class EventStatus : std::uint8_t { Applied = 0, Rejected = 1, UnknownRef = 2 };

#pragma pack(push, 1)
// Per event, 22 bytes: status, then the side and price of the order it concerned (for a cancel or
// an amendment, as they were before), the open quantity the order has after it (for a cancel,
// the quantity cancelled; for an immediate order, what it dropped) and how many fills it made.
// A refused event echoes its own side, price and quantity.
struct EventOutcome {
    std::uint8_t status;
    std::uint8_t side;
    std::int64_t price_in_ticks;
    double quantity;
    std::uint32_t fills;
};
#pragma pack(pop)
static_assert(sizeof(EventOutcome) == 22);

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

struct ReplayOptions {
    std::size_t depth = 0;  // levels per side in each snapshot; none when 0
    std::size_t every = 1;  // a snapshot after every `every`-th event of the batch
};

struct ReplayOutput {
    std::vector<EventOutcome> events;
    std::vector<FillRecord> fills;
    std::vector<LevelRecord> bids;  // snapshots x depth, best level first
    std::vector<LevelRecord> asks;
    std::size_t snapshots = 0;
};

}  // namespace varnholt
