// Resting orders in their levels: planning and committing a rest, unlinking and removing a node,
// making and erasing levels, and what a level or a node says about itself.
#include "order_book.hpp"

namespace varnholt {

std::uint32_t OrderBook::level_at(OrderType side, std::int64_t price) const noexcept {
    return level_index_[index(side)].find(hash_number(static_cast<std::uint64_t>(price)),
                                          [&](std::uint32_t level) { return levels_[level].price_in_ticks == price; });
}

std::uint32_t OrderBook::node_under(std::uint64_t ref) const noexcept {
    return refs_.find(hash_number(ref), [&](std::uint32_t node) { return nodes_[node].ref == ref; });
}

Order OrderBook::order_of(std::uint32_t node) const noexcept {
    const RestingNode& resting = nodes_[node];
    const Level& level = levels_[resting.level];
    const Registry::Entry& entry = registry_.at(resting.entry);
    return Order{entry.id, level.side, OrderStatus::Open, level.price_in_ticks, resting.quantity, resting.timestamp,
                 entry.owner};
}

double OrderBook::level_quantity(const Level& level) const noexcept {
    if (!level.quantity_known) {
        double total = 0.0;
        for (std::uint32_t node = level.head; node != no_index; node = nodes_[node].next) {
            total += nodes_[node].quantity;
        }
        level.known_quantity = total;
        level.quantity_known = true;
    }
    return level.known_quantity;
}

Registry::Entry& OrderBook::record(const Order& order) {
    Registry::Entry& entry = registry_.emplace(order.id);
    Registry::record(entry, order);
    return entry;
}

RestPlan OrderBook::prepare_rest(const Order& order, std::uint64_t ref) {
    registry_.reserve_one();
    nodes_.reserve_one();
    if (ref != no_ref) {
        refs_.reserve_one();
    }
    if (const std::uint32_t level = level_at(order.side, order.price_in_ticks); level != no_index) {
        return RestPlan{level, {}};
    }
    levels_.reserve_one();
    level_index_[index(order.side)].reserve_one();
    Side scratch;
    Side::node_type made = scratch.extract(scratch.try_emplace(order.price_in_ticks, no_index).first);
    return RestPlan{no_index, std::move(made)};
}

Result<bool> OrderBook::rest_if_quiet(const Order& order, std::uint64_t ref, bool named, BeforeCommit* before_commit) {
    const bool buying = order.side == OrderType::Buy;
    const Side& opposite = buying ? asks_ : bids_;
    if (!opposite.empty() && (buying ? opposite.begin()->first <= order.price_in_ticks
                                     : opposite.rbegin()->first >= order.price_in_ticks)) {
        return false;  // it would trade
    }
    const std::uint32_t level = level_at(order.side, order.price_in_ticks);
    if (level == no_index || !nodes_.has_room_for_one() || !registry_.has_room_for_one() ||
        (ref != no_ref && !refs_.has_room_for_one())) {
        return false;
    }
    if (before_commit != nullptr) {
        if (auto ready = before_commit->ready({}); !ready) {
            return std::unexpected(std::move(ready.error()));
        }
    }
    commit_rest(order, RestPlan{level, {}, named}, nullptr, ref);
    return true;
}

void OrderBook::commit_rest(const Order& order, RestPlan&& plan, Registry::Entry* known, std::uint64_t ref,
                            std::uint32_t node) {
    std::uint32_t level_index = plan.level;
    if (level_index == no_index) {
        level_index = levels_.take();
        Level& fresh = levels_[level_index];
        fresh.price_in_ticks = order.price_in_ticks;
        fresh.side = order.side;
        plan.new_level.mapped() = level_index;
        side_map(order.side).insert(std::move(plan.new_level));
        level_index_[index(order.side)].insert(hash_number(static_cast<std::uint64_t>(order.price_in_ticks)),
                                               level_index);
    }
    Registry::Entry& entry = known != nullptr ? *known
                             : plan.named     ? registry_.emplace_reserved(order.id)
                                              : registry_.emplace_unnamed_reserved();
    Registry::record(entry, order);
    entry.owner = order.owner;
    const bool moved = node != no_index;  // a moved node keeps its reference, still indexed
    Level& level = levels_[level_index];
    if (!moved) {
        node = nodes_.take(level.tail);
    }
    RestingNode& resting = nodes_[node];
    resting.quantity = order.quantity;
    resting.timestamp = order.timestamp;
    resting.ref = ref;
    resting.entry = registry_.index_of(entry);
    resting.level = level_index;
    resting.previous = level.tail;
    resting.next = no_index;
    if (level.tail != no_index) {
        nodes_[level.tail].next = node;
    } else {
        level.head = node;
    }
    level.tail = node;
    ++level.count;
    if (level.quantity_known) {
        level.known_quantity += order.quantity;  // exactly the walk's next step
    }
    // The side's total likewise, when the order joins the level its walk visits last.
    const std::size_t at = index(order.side);
    if (side_total_known_[at] && side_map(order.side).rbegin()->second == level_index) {
        side_total_[at] += order.quantity;
        if (level.price_in_ticks < folded_below_[at]) {
            level.fold_after = side_total_[at];  // the last level's running total is the side's
        }
    } else {
        side_changed_at(level);
    }
    if (ref != no_ref && !moved) {
        refs_.insert(hash_number(ref), node);
    }
    ++resting_count_[index(order.side)];
    // Only a lone node is located; a second one under the same id (the same order added twice)
    // makes a cancel search for them instead.
    entry.located = ++entry.copies == 1;
    entry.node = node;
}

void OrderBook::unlink(std::uint32_t node) noexcept {
    RestingNode& resting = nodes_[node];
    Level& level = levels_[resting.level];
    (resting.previous != no_index ? nodes_[resting.previous].next : level.head) = resting.next;
    (resting.next != no_index ? nodes_[resting.next].previous : level.tail) = resting.previous;
    --level.count;
    quantity_changed(level);
    --resting_count_[index(level.side)];
    Registry::Entry& entry = registry_.at(resting.entry);
    --entry.copies;
    entry.located = false;  // of several nodes one is left, and nobody knows which one
}

void OrderBook::remove(std::uint32_t node) noexcept {
    unlink(node);
    const RestingNode& resting = nodes_[node];
    if (resting.ref != no_ref) {
        refs_.erase(hash_number(resting.ref), node);
    }
    const std::uint32_t level = resting.level;
    nodes_.release(node);
    if (levels_[level].count == 0) {
        erase_level(level);
    }
}

void OrderBook::erase_level(std::uint32_t level) noexcept {
    const Level& emptied = levels_[level];
    level_index_[index(emptied.side)].erase(hash_number(static_cast<std::uint64_t>(emptied.price_in_ticks)), level);
    side_map(emptied.side).erase(emptied.price_in_ticks);
    levels_.release(level);
}

}  // namespace varnholt
