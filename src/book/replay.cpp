// Batch replay: whole arrays of order events applied inside the core.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "order_book.hpp"

namespace varnholt {
namespace {

ReplayEvent event_at(const std::byte* events, std::size_t index) noexcept {
    const std::byte* at = events + index * replay_event_size;
    ReplayEvent event{};
    std::memcpy(&event.kind, at, 1);
    std::memcpy(&event.side, at + 1, 1);
    std::memcpy(&event.price_in_ticks, at + 2, 8);
    std::memcpy(&event.quantity, at + 10, 8);
    std::memcpy(&event.ref, at + 18, 8);
    return event;
}

bool positive_and_finite(double quantity) noexcept { return quantity > 0.0 && std::isfinite(quantity); }

// Room for `extra` more records, growing geometrically (reserve() alone grows to the exact size,
// which would copy the whole vector for every event that trades).
void make_room(std::vector<FillRecord>& records, std::size_t extra) {
    if (extra == 0) {
        return;
    }
    const std::size_t needed = records.size() + extra;
    if (needed > records.capacity()) {
        records.reserve(std::max(needed, 2 * records.capacity()));
    }
}

}  // namespace

Result<void> OrderBook::replay(const std::byte* events, std::size_t count, const ReplayOptions& options,
                               Environment& environment, ReplayOutput& out) {
    const std::size_t snapshots = options.depth == 0 || options.every == 0 ? 0 : count / options.every;
    // More levels than memory can address is an allocation that cannot succeed, not a product that
    // wraps around to a small buffer.
    if (snapshots != 0 && options.depth > out.bids.max_size() / snapshots) {
        throw std::bad_alloc();
    }
    out.events.resize(count);
    out.bids.assign(snapshots * options.depth, LevelRecord{});
    out.asks.assign(snapshots * options.depth, LevelRecord{});
    out.snapshots = 0;
    // Reused from event to event, so that an event allocates only when it trades more than any
    // before it.
    std::vector<Fill> fills;
    std::vector<Matched> matched;
    for (std::size_t i = 0; i < count; ++i) {
        const ReplayEvent event = event_at(events, i);
        fills.clear();
        matched.clear();
        out.events[i] = EventOutcome{static_cast<std::uint8_t>(EventStatus::Rejected), event.side,
                                     event.price_in_ticks, event.quantity, 0};
        auto applied = apply(event, i, environment, fills, matched, out);
        if (!applied) {
            Error error = std::move(applied.error());
            error.message = "replay stopped at event " + std::to_string(i) +
                            " (the events before it are applied, it is not): " + error.message;
            return std::unexpected(std::move(error));
        }
        if (snapshots != 0 && (i + 1) % options.every == 0) {
            const std::size_t row = out.snapshots++ * options.depth;
            write_depth(options.depth, out.bids.data() + row, out.asks.data() + row);
        }
    }
    return {};
}

Result<void> OrderBook::apply(const ReplayEvent& event, std::size_t index, Environment& environment,
                              std::vector<Fill>& fills, std::vector<Matched>& matched, ReplayOutput& out) {
    EventOutcome& outcome = out.events[index];
    const auto unknown = [&] { outcome.status = static_cast<std::uint8_t>(EventStatus::UnknownRef); };
    // The fills an event made, as records; room for them is made before the event changes anything.
    const auto report = [&](std::uint64_t incoming_ref) {
        for (std::size_t k = 0; k < fills.size(); ++k) {
            out.fills.push_back(FillRecord{index, matched[k].resting_ref, incoming_ref, matched[k].price_in_ticks,
                                           fills[k].quantity, fills[k].timestamp});
        }
        outcome.fills = static_cast<std::uint32_t>(fills.size());
    };
    const auto kind = static_cast<EventKind>(event.kind);
    switch (kind) {
        case EventKind::Add:
        case EventKind::ImmediateOrCancel:
        case EventKind::FillOrKill: {
            if (event.side > 1 || !positive_and_finite(event.quantity) || event.price_in_ticks <= 0 ||
                event.ref == no_ref || refs_.find(static_cast<std::int64_t>(event.ref)) != nullptr) {
                return {};  // rejected
            }
            auto order = make_order(static_cast<OrderType>(event.side), event.price_in_ticks, event.quantity, environment);
            if (!order) {
                return std::unexpected(std::move(order.error()));
            }
            // Most new orders trade nothing and join a level that has room: resting them without
            // the plan took a typical replay from 780 to 652 instructions per event (callgrind,
            // 186 012 events of bench/run.py's typical profile).
            if (kind == EventKind::Add && rest_if_quiet(*order, event.ref)) {
                outcome.status = static_cast<std::uint8_t>(EventStatus::Applied);
                return {};
            }
            const auto time_in_force = kind == EventKind::Add                 ? TimeInForce::GoodTillCancelled
                                       : kind == EventKind::ImmediateOrCancel ? TimeInForce::ImmediateOrCancel
                                                                              : TimeInForce::FillOrKill;
            auto plan = plan_entry(*order, time_in_force, event.ref, environment.clock, fills, &matched);
            if (!plan) {
                return std::unexpected(std::move(plan.error()));
            }
            make_room(out.fills, fills.size());
            const auto ended = commit_entry(std::move(*plan), fills);
            report(event.ref);
            outcome.status = static_cast<std::uint8_t>(EventStatus::Applied);
            outcome.quantity = ended ? ended->quantity : event.quantity;  // a killed order keeps all of it
            return {};
        }
        case EventKind::Cancel: {
            const std::uint32_t* entry = refs_.find(static_cast<std::int64_t>(event.ref));
            if (entry == nullptr || !registry_.at(*entry).recorded) {
                unknown();  // as cancel() of its id would find nothing to cancel
                return {};
            }
            Registry::Entry& found = registry_.at(*entry);
            outcome = EventOutcome{static_cast<std::uint8_t>(EventStatus::Applied), static_cast<std::uint8_t>(found.side),
                                   found.price_in_ticks, cancel_entry(found), 0};
            return {};
        }
        case EventKind::Amend: {
            if (!positive_and_finite(event.quantity) || event.price_in_ticks <= 0) {
                return {};  // rejected
            }
            const std::uint32_t* entry = refs_.find(static_cast<std::int64_t>(event.ref));
            if (entry == nullptr) {
                unknown();
                return {};
            }
            auto plan = plan_amendment(registry_.at(*entry), event.quantity, event.price_in_ticks, environment.clock,
                                       fills, &matched);
            if (!plan) {
                return std::unexpected(std::move(plan.error()));
            }
            if (plan->level == nullptr) {
                unknown();
                return {};
            }
            make_room(out.fills, fills.size());
            const Order before = plan->before;
            const Order after = commit_amendment(std::move(*plan), fills);
            report(event.ref);
            outcome.status = static_cast<std::uint8_t>(EventStatus::Applied);
            outcome.side = static_cast<std::uint8_t>(before.side);
            outcome.price_in_ticks = before.price_in_ticks;
            outcome.quantity = after.quantity;
            return {};
        }
    }
    return {};  // a kind out of range: rejected
}

void OrderBook::write_depth(std::size_t depth, LevelRecord* bids, LevelRecord* asks) const noexcept {
    const auto write = [depth](auto level, auto end, LevelRecord* out) {
        for (std::size_t k = 0; k < depth && level != end; ++k, ++level) {
            out[k] = LevelRecord{level->first, level->second.quantity(), level->second.live};
        }
    };
    write(bids_.rbegin(), bids_.rend(), bids);
    write(asks_.begin(), asks_.end(), asks);
}

}  // namespace varnholt
