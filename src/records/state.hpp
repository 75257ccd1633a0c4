#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binary.hpp"
#include "error.hpp"
#include "fill.hpp"
#include "order.hpp"

namespace varnholt {

// The saved state of a record, as pickle keeps it: little-endian fixed-width fields, led by the
// layout's version (u32) and the kind of record (u8). A state of a later version is refused, not
// misread; a later varnholt reads the earlier versions as they are. The layouts are described in
// the README. Version 2 added a book's self-trade policy and its orders' owners; orders and fills
// are written as version 1, whose layout they still have.
inline constexpr std::uint32_t state_version = 1;
inline constexpr std::uint32_t book_state_version = 2;

enum class StateKind : std::uint8_t { Order = 1, Fill = 2, OrderBook = 3 };

void write_state_header(ByteWriter& out, StateKind kind, std::uint32_t version = state_version);
// Checks the version (one this varnholt reads, stored in `version` when given); returns the kind
// of record that follows.
Result<StateKind> read_state_header(ByteReader& in, std::uint32_t* version = nullptr);
// Checks the version and that the record is of `kind`, named `what` ("an order") in a refusal.
Result<void> expect_state_header(ByteReader& in, StateKind kind, std::string_view what,
                                 std::uint32_t* version = nullptr);

// Order: id (36 bytes), side (u8), status (u8), price_in_ticks (i64), quantity (f64),
// timestamp (u64).
void write_order(ByteWriter& out, const Order& order);
// Refuses ids that are not order ids, sides and statuses out of range, a price that is not
// positive, a negative quantity (no order ever has one) and an open order with a quantity of 0.0
// or -0.0 (no open order has one); NaN and infinite quantities, which an order may hold, pass. A refusal is "cannot restore <what>: <problem>".
Result<Order> read_order(ByteReader& in, std::string_view what);
// The same, with what is wrong as a bare problem (the error's message) for callers that name
// the place themselves, only when something is wrong.
Result<Order> read_order(ByteReader& in);
// The fields as they are, unchecked (for a state already checked); nullopt past the end.
std::optional<Order> decode_order(ByteReader& in) noexcept;

std::string save_state(const Order& order);
std::string save_state(const Fill& fill);

Result<Order> restore_order(std::string_view state);
Result<Fill> restore_fill(std::string_view state);

// "state of <what> ends early" and kin, as ValueError.
std::unexpected<Error> damaged(std::string_view what, std::string_view problem);
// Fails unless the reader has read all of its bytes.
Result<void> expect_end(const ByteReader& in);

}  // namespace varnholt
