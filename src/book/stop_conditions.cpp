// What replay's stop conditions look at after each event: whether the best level of a side
// changed, and whether the order under a queued reference may have moved and where it stands.
#include "order_book.hpp"

namespace varnholt {

bool OrderBook::touch_changed(OrderType side, TouchState& touch) const noexcept {
    const Side& levels = side_map(side);
    if (levels.empty()) {
        const bool changed = touch.present;
        touch = TouchState{};
        return changed;
    }
    const std::uint32_t best = side == OrderType::Buy ? levels.rbegin()->second : levels.begin()->second;
    const Level& level = levels_[best];
    if (touch.present && best == touch.level && level.count == touch.count && level.quantity_known) {
        return false;  // nothing but orders joining could keep the total known, and they add to the count
    }
    const TouchState now{true, best, level.price_in_ticks, level.count, level_quantity(level)};
    const bool changed =
        !touch.present || now.price_in_ticks != touch.price_in_ticks || now.quantity != touch.quantity;
    touch = now;
    return changed;
}

bool OrderBook::queue_may_have_changed(const QueueState& queued, const ReplayEvent& event) const noexcept {
    if (queued.node == no_index) {
        // Only an event that names the reference for a new order (an add, a post, a replacement's
        // new reference) can bring one there: the reference is looked up only then.
        return (event.ref == queued.ref || event.new_ref == queued.ref) && node_under(queued.ref) != no_index;
    }
    // The node itself, without looking the reference up: one that left has no level (or another
    // order's reference), and one that left and came back under the same reference and level
    // made that level forget its total.
    const RestingNode& node = nodes_[queued.node];
    return node.ref != queued.ref || node.level != queued.level || !levels_[queued.level].quantity_known;
}

QueueState OrderBook::queue_state(std::uint64_t ref) const noexcept {
    QueueState state;
    state.ref = ref;
    state.node = node_under(ref);
    if (state.node == no_index) {
        return state;
    }
    const RestingNode& resting = nodes_[state.node];
    const Level& level = levels_[resting.level];
    state.level = resting.level;
    state.price_in_ticks = level.price_in_ticks;
    state.id = registry_.at(resting.entry).id;
    // Summed from 0.0 in queue order, as queue_position() sums it.
    for (std::uint32_t node = level.head; node != state.node; node = nodes_[node].next) {
        ++state.orders_ahead;
        state.quantity_ahead += nodes_[node].quantity;
    }
    level_quantity(level);  // known again, so that the next look can tell it unchanged
    return state;
}

}  // namespace varnholt
