// The feed verbs that only a replay has: a new order posted without matching, an execution or
// reduction of a named order where it stands, and a replacement under a new reference.
#include "order_book.hpp"
#include "replay_events.hpp"

namespace varnholt {

using namespace replay_events;

Result<Order> OrderBook::unnamed_order(const ReplayEvent& event, OrderType side, WallClock& clock) {
    auto timestamp = clock.now_ns();
    if (!timestamp) {
        return std::unexpected(std::move(timestamp.error()));
    }
    return Order{OrderId{}, side, OrderStatus::Open, event.price_in_ticks, event.quantity, *timestamp};
}

Result<void> OrderBook::post(const ReplayEvent& event, std::uint32_t owner, Environment& environment,
                             EventOutcome& outcome) {
    auto order = unnamed_order(event, static_cast<OrderType>(event.side), environment.clock);
    if (!order) {
        return std::unexpected(std::move(order.error()));
    }
    order->owner = owner;
    RestPlan plan = prepare_rest(*order, event.ref);
    plan.named = false;
    commit_rest(*order, std::move(plan), nullptr, event.ref);
    outcome.status = applied;
    return {};
}

Result<void> OrderBook::execute_or_reduce(const ReplayEvent& event, std::size_t index, bool executes,
                                          WallClock& clock, EventOutcome& outcome, ReplayOutput& out) {
    if (!positive_and_finite(event.quantity)) {
        reject(outcome, RejectReason::Quantity);
        return {};
    }
    const std::uint32_t node = node_under(event.ref);
    if (node == no_index) {
        outcome.status = static_cast<std::uint8_t>(EventStatus::UnknownRef);
        return {};
    }
    if (event.quantity > nodes_[node].quantity) {
        reject(outcome, RejectReason::Exceeds);
        return {};
    }
    // Everything that can fail comes first: the fill's time and its room in the output.
    std::uint64_t timestamp = 0;
    if (executes) {
        auto now = clock.now_ns();
        if (!now) {
            return std::unexpected(std::move(now.error()));
        }
        timestamp = *now;
        make_room(out.fills, 1);
    }
    Level& level = levels_[nodes_[node].level];
    Registry::Entry& entry = registry_.at(nodes_[node].entry);
    Order order = order_of(node);
    outcome = EventOutcome{applied, static_cast<std::uint8_t>(order.side), order.price_in_ticks, 0.0, 0, 0, 0};
    if (executes) {
        out.fills.push_back(FillRecord{index, event.ref, no_ref, order.price_in_ticks, event.quantity, timestamp});
        outcome.fills = 1;
        outcome.at_front = level.head == node ? 1 : 0;
    }
    reduce_by(order, event.quantity);
    outcome.quantity = order.quantity;
    if (order.is_open()) {
        nodes_[node].quantity = order.quantity;
        quantity_changed(level);
        Registry::record(entry, order);  // it keeps its place
        return {};
    }
    // Nothing left: it leaves. Executed, it is recorded Filled, as a sweep records what it fills;
    // reduced, it leaves as a cancel takes it, and the registry forgets it. Either way the value
    // stays for the id's other nodes while any rest (the same order added again by the per-call
    // add), so that they can still be looked up and cancelled. An order nobody asked the id of
    // leaves no record either way: nobody could look it up.
    remove(node);
    if (entry.copies == 0) {
        if (executes && entry.named) {
            Registry::record(entry, order);
        } else {
            registry_.erase(entry);
        }
    }
    return {};
}

Result<void> OrderBook::replace(const ReplayEvent& event, std::uint32_t owner, Environment& environment,
                                EventOutcome& outcome) {
    RejectReason fault = new_order_fault(event, false);
    if (fault == RejectReason::None && event.new_ref == no_ref) {
        fault = RejectReason::NoRef;
    }
    if (fault != RejectReason::None) {
        reject(outcome, fault);
        return {};
    }
    const std::uint32_t node = node_under(event.ref);
    if (node == no_index) {
        outcome.status = static_cast<std::uint8_t>(EventStatus::UnknownRef);
        return {};
    }
    if (event.new_ref != event.ref && node_under(event.new_ref) != no_index) {
        reject(outcome, RejectReason::LiveRef);
        return {};
    }
    const std::uint32_t old_level = nodes_[node].level;
    const OrderType side = levels_[old_level].side;
    auto order = unnamed_order(event, side, environment.clock);
    if (!order) {
        return std::unexpected(std::move(order.error()));
    }
    order->owner = owner;
    RestPlan plan = prepare_rest(*order, event.new_ref);
    plan.named = false;
    // The old order leaves first, so that its reference is free for the new order; its level is
    // erased only after the new one rests, which may be in that very level. Its node is released
    // only then too, so that the new order never takes it: a queue stop condition tells the two
    // orders apart by their nodes (replayed orders have no ids to compare).
    const std::uint32_t old_entry = nodes_[node].entry;
    unlink(node);
    if (nodes_[node].ref != no_ref) {
        refs_.erase(hash_number(nodes_[node].ref), node);
    }
    Registry::Entry& entry = registry_.at(old_entry);
    if (entry.copies == 0) {
        registry_.erase(entry);  // as a cancel takes it; the value stays for other nodes of the id
    }
    commit_rest(*order, std::move(plan), nullptr, event.new_ref);
    nodes_.release(node);
    if (levels_[old_level].count == 0) {
        erase_level(old_level);
    }
    outcome = EventOutcome{applied, static_cast<std::uint8_t>(side), event.price_in_ticks, event.quantity, 0, 0, 0};
    return {};
}

}  // namespace varnholt
