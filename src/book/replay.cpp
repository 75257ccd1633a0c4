// Batch replay: whole arrays of order events applied inside the core, event by event, with the
// stop conditions a caller may set (the feed verbs are in feed_verbs.cpp, what the stop conditions
// look at in stop_conditions.cpp).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <span>

#include "order_book.hpp"
#include "replay_events.hpp"

namespace varnholt {

using namespace replay_events;

namespace {

std::uint64_t ref_at(const std::byte* events, std::size_t index, EventLayout layout) noexcept {
    std::uint64_t ref;
    std::memcpy(&ref, events + index * (layout == EventLayout::Feed ? feed_event_size : replay_event_size) + 18, 8);
    return ref;
}

ReplayEvent event_at(const std::byte* events, std::size_t index, EventLayout layout) noexcept {
    const bool feed = layout == EventLayout::Feed;
    const std::byte* at = events + index * (feed ? feed_event_size : replay_event_size);
    ReplayEvent event{};
    std::memcpy(&event.kind, at, 1);
    std::memcpy(&event.side, at + 1, 1);
    std::memcpy(&event.price_in_ticks, at + 2, 8);
    std::memcpy(&event.quantity, at + 10, 8);
    std::memcpy(&event.ref, at + 18, 8);
    if (feed) {
        std::memcpy(&event.new_ref, at + 26, 8);
        std::memcpy(&event.timestamp, at + 34, 8);
    }
    return event;
}

// The clock of a feed replay: the time of the event being applied.
class EventClock final : public WallClock {
public:
    Result<std::uint64_t> now_ns() override { return now; }
    std::uint64_t now = 0;
};

// The clock of a replay in the order layout: the caller's clock, read once, when the first event
// that needs a time asks, and that reading for every later event of the call. A reading per event
// cost 4-7% of a replay; the orders of one call then share the call's time (a batch is applied as
// one step), and a batch that only cancels never reads the clock.
class CallClock final : public WallClock {
public:
    explicit CallClock(WallClock& clock) noexcept : clock_(clock) {}
    Result<std::uint64_t> now_ns() override {
        if (!read_) {
            auto now = clock_.now_ns();
            if (!now) {
                return now;
            }
            now_ = *now;
            read_ = true;
        }
        return now_;
    }

private:
    WallClock& clock_;
    std::uint64_t now_ = 0;
    bool read_ = false;
};

// Resting orders from which replay() starts its look-ups ahead (see there).
constexpr std::size_t prefetch_from = 4096;

// The references of a watch list, for one look-up per fill. A few (up to 8) are compared in turn,
// which allocates nothing: a call that stops on a watched fill after one event allocated a table
// every time (part of 8,706 -> 6,909 instructions for such a call, callgrind; see the binding's
// book_replay). More are found through the book's index table, by their place in the list.
class RefSet {
public:
    explicit RefSet(std::span<const std::uint64_t> refs) : refs_(refs) {
        if (refs.size() <= few) {
            return;
        }
        table_.emplace();
        table_->reserve(refs.size());
        for (std::uint32_t i = 0; i < refs.size(); ++i) {
            if (!contains(refs[i])) {
                table_->insert(hash_number(refs[i]), i);
            }
        }
    }

    bool contains(std::uint64_t ref) const noexcept {
        if (!table_) {
            return std::find(refs_.begin(), refs_.end(), ref) != refs_.end();
        }
        const auto same = [&](std::uint32_t i) { return refs_[i] == ref; };
        return table_->find(hash_number(ref), same) != IndexTable<50>::none;
    }

private:
    static constexpr std::size_t few = 8;
    std::span<const std::uint64_t> refs_;
    std::optional<IndexTable<50>> table_;
};

}  // namespace

Result<void> OrderBook::replay(const std::byte* events, std::size_t count, EventLayout layout,
                               const ReplayOptions& options, Environment& environment, ReplayOutput& out) {
    const std::size_t start = std::min(options.start, count);
    const std::size_t total = count - start;
    const std::size_t snapshots = options.depth == 0 || options.every == 0 ? 0 : total / options.every;
    // More levels than memory can address is an allocation that cannot succeed, not a product that
    // wraps around to a small buffer.
    if (snapshots != 0 && options.depth > out.bids.max_size() / snapshots) {
        throw std::bad_alloc();
    }
    if (total > out.events.max_size()) {
        throw std::bad_alloc();  // more results than memory can address, as for the snapshots
    }
    // The stop conditions' state, made before any event is applied.
    const StopConditions& stop = options.stop;
    const bool stops = stop.any();
    // A replay that runs through has its results' room made at once. One that may stop early
    // grows it as it goes (room for an event's result or snapshot is made before the event
    // changes anything), since a loop that goes on from result.next would otherwise make room
    // for all the rest of the array at every call: 110 us a call for the 186 000 events of
    // bench/stops.py's touch row, 10 us (mostly the call itself) once it grows.
    const std::size_t rows_first = stops ? std::min<std::size_t>(total, 64) : total;
    const std::size_t snapshots_first = stops ? std::min<std::size_t>(snapshots, 4) : snapshots;
    out.events.resize(rows_first);
    out.bids.assign(snapshots_first * options.depth, LevelRecord{});
    out.asks.assign(snapshots_first * options.depth, LevelRecord{});
    out.snapshots = 0;
    out.applied = 0;
    out.next = start;
    out.stopped = 0;
    // Room for `rows` of `per_row` records each, growing geometrically up to `most` rows.
    const auto room = [](auto& records, std::size_t rows, std::size_t per_row, std::size_t most) {
        if (records.size() < rows * per_row) {
            const std::size_t grown = std::min(most, std::max(rows, 2 * records.size() / per_row));
            records.resize(grown * per_row);
        }
    };
    const RefSet watched(stop.watch);
    TouchState touch[2];
    if (stop.touch) {
        touch_changed(OrderType::Buy, touch[0]);
        touch_changed(OrderType::Sell, touch[1]);
    }
    std::vector<QueueState> queued;
    queued.reserve(stop.queue.size());
    for (const std::uint64_t ref : stop.queue) {
        queued.push_back(queue_state(ref));
    }
    std::vector<std::uint8_t> may_have_moved(queued.size());
    // What the event just applied met.
    const auto conditions_met = [&](const ReplayEvent& event, std::size_t fills_before) {
        std::uint8_t met = 0;
        if (!stop.watch.empty()) {
            for (std::size_t k = fills_before; k < out.fills.size(); ++k) {
                if (watched.contains(out.fills[k].resting_ref) || watched.contains(out.fills[k].incoming_ref)) {
                    met |= StopFill;
                    break;
                }
            }
        }
        // Every level's "unchanged" mark is read before any total is worked out again.
        for (std::size_t q = 0; q < queued.size(); ++q) {
            may_have_moved[q] = queue_may_have_changed(queued[q], event) ? 1 : 0;
        }
        if (stop.touch) {
            // Both sides are brought up to date, whichever changed.
            const bool bid = touch_changed(OrderType::Buy, touch[0]);
            const bool ask = touch_changed(OrderType::Sell, touch[1]);
            met |= bid || ask ? StopTouch : 0;
        }
        for (std::size_t q = 0; q < queued.size(); ++q) {
            if (!may_have_moved[q]) {
                continue;
            }
            const QueueState now = queue_state(queued[q].ref);
            const QueueState& was = queued[q];
            const bool same = now.node == was.node &&
                              (now.node == no_index ||
                               (now.level == was.level && now.price_in_ticks == was.price_in_ticks && now.id == was.id &&
                                now.orders_ahead == was.orders_ahead && now.quantity_ahead == was.quantity_ahead));
            met |= same ? 0 : StopQueue;
            queued[q] = now;
        }
        return met;
    };
    // A feed's events carry their own times: every order and fill of an event takes its time.
    EventClock event_clock;
    Environment feed_environment{environment.ids, event_clock};
    CallClock call_clock(environment.clock);
    Environment order_environment{environment.ids, call_clock};
    Environment& used = layout == EventLayout::Feed ? feed_environment : order_environment;
    // Reused from event to event, and from call to call on a thread (the core runs no other replay
    // meanwhile), so that an event allocates only when it trades more than any before it: a call
    // that replays one trading event made both every time (see RefSet for the gain).
    thread_local std::vector<Fill> fills;
    thread_local std::vector<Matched> matched;
    for (std::size_t i = start; i < count; ++i) {
        // Nearly every event looks its reference up, and in a book larger than the caches each
        // look-up waits for memory three times in a row: the index's slot, the node (to compare
        // the reference) and the node's entry and neighbours. The next events' references are
        // known, so those loads are started ahead, one step per event: the slot three events
        // ahead, the node two ahead, its entry and neighbours one ahead. This took the deep
        // profile of bench/run.py (50,000 resting orders) from 4.1-4.8 to 7.3 M events/s. A small
        // book is in the cache already, where the hints only cost (11.7 -> 9.9 M events/s for the
        // typical profile's 1,000-1,500 resting orders), so they start at a few thousand.
        if (nodes_.in_use() >= prefetch_from) {
            for (unsigned ahead = 3; ahead > 0; --ahead) {
                if (i + ahead < count) {
                    prefetch_ahead(ref_at(events, i + ahead, layout), ahead);
                }
            }
        }
        const ReplayEvent event = event_at(events, i, layout);
        if (stops && stop.until && event.timestamp >= *stop.until) [[unlikely]] {
            out.stopped = StopTime;
            break;
        }
        const std::size_t row = i - start;
        if (row == LongRun::long_run_events && options.long_run != nullptr) [[unlikely]] {
            options.long_run->started();
        }
        const std::size_t fills_before = out.fills.size();
        if (stops) [[unlikely]] {
            room(out.events, row + 1, 1, total);
            if (snapshots != 0 && (row + 1) % options.every == 0) {
                room(out.bids, out.snapshots + 1, options.depth, snapshots);
                room(out.asks, out.snapshots + 1, options.depth, snapshots);
            }
        }
        event_clock.now = event.timestamp;
        fills.clear();
        matched.clear();
        out.events[row] = EventOutcome{static_cast<std::uint8_t>(EventStatus::Rejected), event.side, event.price_in_ticks,
                                       event.quantity, 0, static_cast<std::uint8_t>(RejectReason::None), 0};
        auto done = apply(event, i, row, options.owner, layout, used, fills, matched, out);
        if (!done) {
            Error error = std::move(done.error());
            error.message = "replay stopped at event " + std::to_string(i) +
                            " (the events before it are applied, it is not): " + error.message;
            return std::unexpected(std::move(error));
        }
        out.applied = row + 1;
        out.next = i + 1;
        if (stops) [[unlikely]] {
            out.stopped = conditions_met(event, fills_before);
        }
        if (snapshots != 0 && (row + 1) % options.every == 0) {
            const std::size_t at = out.snapshots++ * options.depth;
            write_depth(options.depth, out.bids.data() + at, out.asks.data() + at);
        }
        if (out.stopped != 0) [[unlikely]] {
            break;
        }
    }
    return {};
}

void OrderBook::prefetch_ahead(std::uint64_t ref, unsigned ahead) const noexcept {
    const std::uint32_t hash = hash_number(ref);
    if (ahead == 3) {
        refs_.prefetch_home(hash);
        return;
    }
    // A hint only: the slot found may hold another reference or a node that has gone since, so
    // every index is checked against its array before its address is formed.
    const std::uint32_t node = refs_.peek(hash);
    if (node >= nodes_.size()) {
        return;
    }
    const RestingNode& resting = nodes_[node];
    if (ahead == 2) {
        prefetch(&resting);
        return;
    }
    if (resting.entry < registry_.places().size()) {
        prefetch(&registry_.at(resting.entry));
    }
    for (const std::uint32_t neighbour : {resting.previous, resting.next}) {
        if (neighbour < nodes_.size()) {
            prefetch(&nodes_[neighbour]);
        }
    }
}

Result<void> OrderBook::apply(const ReplayEvent& event, std::size_t index, std::size_t row, std::uint32_t owner,
                              EventLayout layout, Environment& environment, std::vector<Fill>& fills,
                              std::vector<Matched>& matched, ReplayOutput& out) {
    EventOutcome& outcome = out.events[row];
    const auto unknown = [&] { outcome.status = static_cast<std::uint8_t>(EventStatus::UnknownRef); };
    // The fills an event made, as records; room for them is made before the event changes anything.
    const auto report = [&](std::uint64_t incoming_ref) {
        for (std::size_t k = 0; k < fills.size(); ++k) {
            out.fills.push_back(FillRecord{index, matched[k].resting_ref, incoming_ref, matched[k].price_in_ticks,
                                           fills[k].quantity, fills[k].timestamp});
        }
        outcome.fills = static_cast<std::uint32_t>(fills.size());
    };
    // A new order's reference: not no_ref, and not resting.
    const auto ref_fault = [&](std::uint64_t ref) {
        return ref == no_ref                                              ? RejectReason::NoRef
               : node_under(ref) != no_index ? RejectReason::LiveRef
                                             : RejectReason::None;
    };
    const auto kind = static_cast<EventKind>(event.kind);
    switch (kind) {
        case EventKind::Add:
        case EventKind::ImmediateOrCancel:
        case EventKind::FillOrKill:
        case EventKind::Post: {
            RejectReason fault = new_order_fault(event, true);
            if (fault == RejectReason::None) {
                fault = ref_fault(event.ref);
            }
            if (fault != RejectReason::None) {
                reject(outcome, fault);
                return {};
            }
            if (kind == EventKind::Post) {
                return post(event, owner, environment, outcome);
            }
            auto order = unnamed_order(event, static_cast<OrderType>(event.side), environment.clock);
            if (!order) {
                return std::unexpected(std::move(order.error()));
            }
            order->owner = owner;
            // Most new orders trade nothing and join a level that has room: resting them without
            // the plan took a typical replay from 780 to 652 instructions per event (callgrind,
            // 186 012 events of bench/run.py's typical profile).
            if (kind == EventKind::Add && *rest_if_quiet(*order, event.ref, false)) {
                outcome.status = applied;
                return {};
            }
            const auto time_in_force = kind == EventKind::Add                 ? TimeInForce::GoodTillCancelled
                                       : kind == EventKind::ImmediateOrCancel ? TimeInForce::ImmediateOrCancel
                                                                              : TimeInForce::FillOrKill;
            auto plan = plan_entry(*order, time_in_force, event.ref, environment.clock, nullptr, fills, &matched);
            if (!plan) {
                return std::unexpected(std::move(plan.error()));
            }
            make_room(out.fills, fills.size());
            const auto ended = commit_entry(std::move(*plan), fills);
            report(event.ref);
            outcome.status = applied;
            outcome.quantity = ended ? ended->quantity : event.quantity;  // a killed order keeps all of it
            return {};
        }
        case EventKind::Cancel: {
            const std::uint32_t node = node_under(event.ref);
            if (node == no_index || !registry_.at(nodes_[node].entry).recorded) {
                unknown();  // as cancel() of its id would find nothing to cancel
                return {};
            }
            Registry::Entry& found = registry_.at(nodes_[node].entry);
            outcome = EventOutcome{applied, static_cast<std::uint8_t>(found.side), found.price_in_ticks,
                                   cancel_entry(found), 0, 0, 0};
            return {};
        }
        case EventKind::Amend: {
            if (const RejectReason fault = new_order_fault(event, false); fault != RejectReason::None) {
                reject(outcome, fault);
                return {};
            }
            const std::uint32_t node = node_under(event.ref);
            if (node == no_index) {
                unknown();
                return {};
            }
            auto plan = plan_amendment(registry_.at(nodes_[node].entry), event.quantity, event.price_in_ticks,
                                       environment.clock, nullptr, fills, &matched);
            if (!plan) {
                return std::unexpected(std::move(plan.error()));
            }
            if (plan->node == no_index) {
                unknown();
                return {};
            }
            make_room(out.fills, fills.size());
            const Order before = plan->before;
            const Order after = commit_amendment(std::move(*plan), fills);
            report(event.ref);
            outcome.status = applied;
            outcome.side = static_cast<std::uint8_t>(before.side);
            outcome.price_in_ticks = before.price_in_ticks;
            outcome.quantity = after.quantity;
            return {};
        }
        case EventKind::Execute:
        case EventKind::Reduce:
            return execute_or_reduce(event, index, kind == EventKind::Execute, environment.clock, outcome, out);
        case EventKind::Replace:
            if (layout != EventLayout::Feed) {
                break;  // the order layout has no field for the new reference
            }
            return replace(event, owner, environment, outcome);
    }
    reject(outcome, RejectReason::Kind);
    return {};
}

}  // namespace varnholt
