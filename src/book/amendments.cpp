// Changes to named orders: amend() (in place, or out of the level and in again), cancel() and
// forget_filled(), and how an id leads to its first resting order.
#include <cmath>

#include "order_book.hpp"

namespace varnholt {

std::uint32_t OrderBook::first_copy(const Registry::Entry& entry) const noexcept {
    if (entry.copies == 0) {
        return no_index;
    }
    if (entry.located) {
        return entry.node;
    }
    const std::uint32_t wanted = registry_.index_of(entry);
    const auto first_in = [&](std::uint32_t level) {
        std::uint32_t node = levels_[level].head;
        while (node != no_index && nodes_[node].entry != wanted) {
            node = nodes_[node].next;
        }
        return node;
    };
    // Several nodes: the first one at the recorded price, where they rest unless update_order
    // recorded another price or an amendment moved one of them.
    if (entry.recorded) {
        if (const std::uint32_t level = level_at(entry.side, entry.price_in_ticks); level != no_index) {
            if (const std::uint32_t node = first_in(level); node != no_index) {
                return node;
            }
        }
    }
    // Otherwise the first one in the listings' order (bids, then asks, each by ascending price): a
    // walk over the whole book, needed only in those rare cases.
    for (const Side* side : {&bids_, &asks_}) {
        for (const auto& [price, level] : *side) {
            if (const std::uint32_t node = first_in(level); node != no_index) {
                return node;
            }
        }
    }
    return no_index;
}

Result<std::optional<std::vector<Fill>>> OrderBook::amend(std::string_view id, std::optional<double> quantity,
                                                          std::optional<std::int64_t> price_in_ticks,
                                                          Environment& environment, BeforeCommit* before_commit) {
    using Amended = std::optional<std::vector<Fill>>;
    // The price is checked before the quantity, as when an order is made.
    if (price_in_ticks && *price_in_ticks <= 0) {
        return invalid_value("price_in_ticks must be positive");
    }
    if (quantity) {
        if (*quantity <= 0.0) {
            return invalid_value("quantity must be positive");
        }
        if (!std::isfinite(*quantity)) {
            return invalid_value("quantity must be a finite number");
        }
    }
    Registry::Entry* found = registry_.find(id);
    if (found == nullptr) {
        return Amended{};
    }
    std::vector<Fill> fills;
    auto plan = plan_amendment(*found, quantity, price_in_ticks, environment.clock, &environment.ids, fills, nullptr);
    if (!plan) {
        return std::unexpected(std::move(plan.error()));
    }
    if (plan->node == no_index) {
        return Amended{};
    }
    if (before_commit != nullptr) {
        if (auto ready = before_commit->ready(fills); !ready) {
            return std::unexpected(std::move(ready.error()));
        }
    }
    commit_amendment(std::move(*plan), fills);
    return Amended{std::move(fills)};
}

Result<AmendmentPlan> OrderBook::plan_amendment(Registry::Entry& entry, std::optional<double> quantity,
                                                std::optional<std::int64_t> price_in_ticks, WallClock& clock,
                                                IdGenerator* ids, std::vector<Fill>& fills,
                                                std::vector<Matched>* matched) {
    AmendmentPlan plan;
    plan.node = first_copy(entry);
    if (plan.node == no_index) {
        return plan;  // nothing rests under the id
    }
    plan.entry_index = registry_.index_of(entry);
    plan.before = plan.after = order_of(plan.node);
    if (!quantity && !price_in_ticks) {
        return plan;  // nothing to change
    }
    plan.after.price_in_ticks = price_in_ticks.value_or(plan.before.price_in_ticks);
    plan.after.quantity = quantity.value_or(plan.before.quantity);
    if (plan.after.price_in_ticks == plan.before.price_in_ticks && plan.after.quantity <= plan.before.quantity) {
        plan.in_place = true;  // it keeps its place in the queue
        return plan;
    }
    // Out of its level and in again, as an incoming order with a new timestamp.
    auto timestamp = clock.now_ns();
    if (!timestamp) {
        return std::unexpected(std::move(timestamp.error()));
    }
    plan.after.timestamp = *timestamp;
    plan.moves = true;
    auto planned = plan_sweep(plan.after, clock, fills, matched, plan.self_trades, ids, plan.names);
    if (!planned) {
        return std::unexpected(std::move(planned.error()));
    }
    if (!plan.names.empty()) {
        registry_.reserve_names(plan.names.size());
    }
    plan.rests = planned->is_open();
    if (plan.rests) {
        plan.rest = prepare_rest(*planned);  // may move entries: the plan keeps indices
    }
    return plan;
}

Order OrderBook::commit_amendment(AmendmentPlan&& plan, const std::vector<Fill>& fills) {
    Registry::Entry& entry = registry_.at(plan.entry_index);
    RestingNode& node = nodes_[plan.node];
    if (plan.in_place) {
        node.quantity = plan.after.quantity;
        quantity_changed(levels_[node.level]);
        Registry::record(entry, plan.after);
        return plan.after;
    }
    if (!plan.moves) {
        return plan.after;
    }
    // The order leaves its level and, after the sweep, rests in its new one as a new node with
    // its reference, so that a queue stop condition sees that it entered again even where it ends
    // at the very place it left (the node is the order's identity there: replayed orders have no
    // ids to compare). The old level stays until then, since the order may rest there again.
    const std::uint32_t old_level = node.level;
    Order moved = plan.after;
    commit_names(plan.names);
    unlink(plan.node);
    commit_sweep(moved, fills, plan.self_trades);
    if (plan.rests) {
        // The reference leaves the index first, so inserting it again needs no room.
        const std::uint64_t ref = nodes_[plan.node].ref;
        if (ref != no_ref) {
            refs_.erase(hash_number(ref), plan.node);
        }
        commit_rest(moved, std::move(plan.rest), &entry, ref);
        nodes_.release(plan.node);  // only now, so that the new node is another one
    } else {
        Registry::record(entry, moved);
        if (nodes_[plan.node].ref != no_ref) {
            refs_.erase(hash_number(nodes_[plan.node].ref), plan.node);
        }
        nodes_.release(plan.node);
        drop_if_unnamed(entry);  // a replayed order that filled on its way: nobody has its id
    }
    if (levels_[old_level].count == 0) {
        erase_level(old_level);
    }
    return moved;
}

bool OrderBook::cancel(std::string_view id) noexcept {
    Registry::Entry* entry = registry_.find(id);
    if (entry == nullptr || !entry->recorded) {
        return false;
    }
    cancel_entry(*entry);
    return true;
}

double OrderBook::cancel_entry(Registry::Entry& entry) noexcept {
    double cancelled = 0.0;
    // The registry's value says where the nodes rest. Only a value from update_order can say
    // otherwise, and then its level is the only one looked at (a node elsewhere stays); the
    // book's own values never strand a node, so every other cancel takes out every node.
    const OrderType side_of_value = entry.side;
    const std::int64_t price = entry.price_in_ticks;
    const bool everywhere = !entry.from_caller;
    const std::uint32_t wanted = registry_.index_of(entry);
    // Takes the entry's nodes out of a level; true when the level went with them.
    const auto take_out_of = [&](std::uint32_t level) {
        for (std::uint32_t node = levels_[level].head; node != no_index;) {
            const std::uint32_t next = nodes_[node].next;
            if (nodes_[node].entry == wanted) {
                cancelled += nodes_[node].quantity;
                const bool last = levels_[level].count == 1;
                remove(node);
                if (last) {
                    return true;
                }
            }
            node = next;
        }
        return false;
    };
    if (entry.located) {
        // The lone node is found without a search.
        const Level& level = levels_[nodes_[entry.node].level];
        if (everywhere || (level.side == side_of_value && level.price_in_ticks == price)) {
            cancelled += nodes_[entry.node].quantity;
            remove(entry.node);
        }
    } else if (entry.copies > 0) {
        if (const std::uint32_t level = level_at(side_of_value, price); level != no_index) {
            take_out_of(level);
        }
        if (everywhere && entry.copies > 0) {
            // Nodes at other prices (an amendment moved one, or an order came with the id of one
            // that rests): a walk over the book, needed only then.
            for (Side* side : {&bids_, &asks_}) {
                for (auto level = side->begin(); level != side->end() && entry.copies > 0;) {
                    const std::uint32_t at = (level++)->second;  // the level may go
                    take_out_of(at);
                }
            }
        }
    }
    entry.recorded = false;
    if (entry.copies == 0) {
        registry_.erase(entry);
    }
    return cancelled;
}

std::size_t OrderBook::forget_filled() noexcept {
    std::size_t forgotten = 0;
    for (std::uint32_t index = 0; index < registry_.places().size(); ++index) {
        Registry::Entry& entry = registry_.at(index);
        // An id with resting nodes keeps its value, so that cancel still finds them.
        if (entry.in_use && entry.recorded && entry.status == OrderStatus::Filled && entry.copies == 0) {
            registry_.erase(entry);
            ++forgotten;
        }
    }
    return forgotten;
}

}  // namespace varnholt
