// Matching: add() and take(), and the plan and commit of a sweep and of an entering order. The
// plan works out everything (the fills, their times, the room the rest needs) without changing
// the book; the commit changes it with steps that cannot fail.
#include <cmath>

#include "order_book.hpp"

namespace varnholt {

Result<Order> OrderBook::plan_sweep(const Order& incoming, WallClock& clock, std::vector<Fill>& fills,
                                    std::vector<Matched>* matched, SelfTrades& self_trades, IdGenerator* ids,
                                    std::vector<Naming>& names) const {
    Order left = incoming;
    if (!left.is_open()) {
        return left;
    }
    const bool buying = left.side == OrderType::Buy;
    const Side& opposite = buying ? asks_ : bids_;
    // Most orders cross nothing: one look at the best opposite price settles it.
    if (opposite.empty() || (buying ? opposite.begin()->first > left.price_in_ticks
                                    : opposite.rbegin()->first < left.price_in_ticks)) {
        return left;
    }
    // The owner whose resting orders the self-trade rule keeps the incoming order from (0: none),
    // one comparison per resting order it meets.
    const std::uint32_t own = self_trade_ != SelfTrade::Off ? left.owner : 0;
    // The rule at a resting order of the same owner; false when it ends the incoming order.
    const auto prevent = [&](const Order& resting) {
        if (self_trade_ == SelfTrade::CancelIncoming) {
            self_trades.incoming_ended = true;
            return false;
        }
        if (self_trade_ == SelfTrade::CancelResting) {
            self_trades.steps.push_back(SelfTradeStep{fills.size(), resting.quantity, true});
            return true;
        }
        const double smaller = resting.quantity <= left.quantity ? resting.quantity : left.quantity;
        self_trades.steps.push_back(SelfTradeStep{fills.size(), smaller, false});
        left.quantity = left.quantity - smaller;
        self_trades.incoming_ended = left.quantity <= 0.0;
        return !self_trades.incoming_ended;
    };
    // Best price first: the lowest ask for a buy, the highest bid for a sell, never past the
    // incoming limit; within a level, from the front.
    const auto visit_level = [&](std::uint32_t level) -> Result<bool> {
        for (std::uint32_t node = levels_[level].head; node != no_index; node = nodes_[node].next) {
            // The registry entries of a level's orders lie scattered; asking for the one after
            // next while this one fills keeps the walk from waiting on each.
            if (const std::uint32_t next = nodes_[node].next; next != no_index) {
                if (const std::uint32_t after = nodes_[next].next; after != no_index) {
                    prefetch(&registry_.at(nodes_[after].entry));
                }
            }
            Order resting = order_of(node);
            if (own != 0 && resting.owner == own) [[unlikely]] {
                if (!prevent(resting)) {
                    left.status = OrderStatus::Canceled;
                    return false;
                }
                continue;
            }
            if (ids != nullptr && !registry_.at(nodes_[node].entry).named) {
                auto id = ids->next();  // the fill shows it to the caller
                if (!id) {
                    return std::unexpected(std::move(id.error()));
                }
                names.push_back(Naming{nodes_[node].entry, *id});
                resting.id = *id;
            }
            auto timestamp = clock.now_ns();
            if (!timestamp) {
                return std::unexpected(std::move(timestamp.error()));
            }
            auto made = fill_at(resting, left, tick_size_, *timestamp);
            if (!made) {
                return false;  // unreachable while sides and prices are kept apart as above
            }
            fills.push_back(std::move(*made));
            if (matched != nullptr) {
                matched->push_back(Matched{nodes_[node].ref, resting.price_in_ticks});
            }
            if (!left.is_open()) {
                return false;
            }
        }
        return true;
    };
    const auto walk = [&](auto level, auto end) -> Result<Order> {
        for (; level != end && (buying ? level->first <= left.price_in_ticks : level->first >= left.price_in_ticks);
             ++level) {
            auto more = visit_level(level->second);
            if (!more) {
                return std::unexpected(std::move(more.error()));
            }
            if (!*more) {
                break;
            }
        }
        return left;
    };
    return buying ? walk(opposite.begin(), opposite.end()) : walk(opposite.rbegin(), opposite.rend());
}

void OrderBook::cancel_for_self_trade(std::uint32_t node, double open) noexcept {
    Order cancelled = order_of(node);
    cancelled.status = OrderStatus::Canceled;
    cancelled.quantity = open;
    Registry::Entry& entry = registry_.at(nodes_[node].entry);
    remove(node);
    if (entry.copies == 0) {
        Registry::record(entry, cancelled);
        drop_if_unnamed(entry);  // nobody had its id
    }
}

void OrderBook::commit_sweep(Order& incoming, const std::vector<Fill>& fills, const SelfTrades& self_trades) noexcept {
    const bool buying = incoming.side == OrderType::Buy;
    Side& opposite = buying ? asks_ : bids_;
    const auto best_front = [&] { return levels_[buying ? opposite.begin()->second : opposite.rbegin()->second].head; };
    std::size_t step = 0;
    // The self-trade steps planned before the next fill, each at the front of the best level.
    const auto prevent_until = [&](std::size_t fill) {
        for (; step < self_trades.steps.size() && self_trades.steps[step].before_fill == fill; ++step) {
            const SelfTradeStep& planned = self_trades.steps[step];
            const std::uint32_t node = best_front();
            if (planned.cancels_resting) {
                cancel_for_self_trade(node, nodes_[node].quantity);
                continue;
            }
            reduce_by(incoming, planned.quantity);
            Order resting = order_of(node);
            reduce_by(resting, planned.quantity);
            if (!resting.is_open()) {
                cancel_for_self_trade(node, resting.quantity);
                continue;
            }
            nodes_[node].quantity = resting.quantity;
            quantity_changed(levels_[nodes_[node].level]);
            Registry::record(registry_.at(nodes_[node].entry), resting);
        }
    };
    for (std::size_t k = 0; k < fills.size(); ++k) {
        const Fill& planned = fills[k];
        prevent_until(k);
        // The plan took the same resting orders in the same order: each is now the front of the
        // best level, and it loses exactly what the plan worked out.
        Level& level = levels_[buying ? opposite.begin()->second : opposite.rbegin()->second];
        const std::uint32_t front = level.head;
        if (const std::uint32_t next = nodes_[front].next; next != no_index) {
            if (const std::uint32_t after = nodes_[next].next; after != no_index) {
                prefetch(&registry_.at(nodes_[after].entry));
            }
        }
        Order resting = order_of(front);
        reduce_by(resting, planned.quantity);
        reduce_by(incoming, planned.quantity);
        nodes_[front].quantity = resting.quantity;
        quantity_changed(level);
        // A partly filled resting order keeps its place at the front, and its registry entry
        // (known by index) records the change.
        Registry::Entry& entry = registry_.at(nodes_[front].entry);
        Registry::record(entry, resting);
        if (!resting.is_open()) {
            remove(front);
            drop_if_unnamed(entry);
        }
    }
    prevent_until(fills.size());
    if (self_trades.incoming_ended) {
        incoming.status = OrderStatus::Canceled;  // what is left of it is cancelled, not filled
    }
}

Result<EntryPlan> OrderBook::plan_entry(const Order& arriving, TimeInForce time_in_force, std::uint64_t ref,
                                        WallClock& clock, IdGenerator* ids, std::vector<Fill>& fills,
                                        std::vector<Matched>* matched) {
    if (!std::isfinite(arriving.quantity)) {
        return invalid_value("quantity must be a finite number");
    }
    const std::size_t first_fill = fills.size();
    EntryPlan plan{arriving, time_in_force, ref, false, false, {}, false, ids != nullptr, {}, {}};
    auto planned = plan_sweep(arriving, clock, fills, matched, plan.self_trades, ids, plan.names);
    if (!planned) {
        return std::unexpected(std::move(planned.error()));
    }
    if (!plan.names.empty()) {
        registry_.reserve_names(plan.names.size());
    }
    // An order that the self-trade rule ended has its remainder cancelled, which for a
    // fill-or-kill means it did not fill: it is killed as one that found too little.
    const bool unfilled = planned->is_open() || plan.self_trades.incoming_ended;
    if (time_in_force != TimeInForce::GoodTillCancelled && arriving.is_open() && unfilled) {
        // What the sweep trades, summed in its order: enough means filled (see take()).
        double traded = 0.0;
        for (std::size_t i = first_fill; i < fills.size(); ++i) {
            traded += fills[i].quantity;
        }
        plan.filled_by_sum = traded >= arriving.quantity;
    }
    if (time_in_force == TimeInForce::FillOrKill && (!arriving.is_open() || (unfilled && !plan.filled_by_sum))) {
        plan.killed = true;  // it would not fill completely, so nothing happens
        fills.clear();
        if (matched != nullptr) {
            matched->clear();
        }
        plan.self_trades = SelfTrades{};
        return plan;
    }
    // A matchable order still open after the sweep rests, unless it is immediate; one that
    // arrived filled does not.
    plan.rests = time_in_force == TimeInForce::GoodTillCancelled && arriving.is_open() && planned->is_open();
    if (plan.rests) {
        plan.rest = prepare_rest(*planned, ref);
        plan.rest.named = plan.named;
    } else if (plan.named) {
        registry_.reserve_one();
    }
    return plan;
}

std::optional<Order> OrderBook::commit_entry(EntryPlan&& plan, const std::vector<Fill>& fills) {
    if (plan.killed) {
        return std::nullopt;
    }
    Order incoming = plan.arriving;
    commit_names(plan.names);
    commit_sweep(incoming, fills, plan.self_trades);
    if (plan.rests) {
        commit_rest(incoming, std::move(plan.rest), nullptr, plan.ref);
        return incoming;
    }
    if (plan.time_in_force != TimeInForce::GoodTillCancelled) {
        if (plan.filled_by_sum && !plan.self_trades.incoming_ended) {
            incoming.quantity = 0.0;  // what rounding left is no quantity it still wants
            incoming.status = OrderStatus::Filled;
        }
        if (incoming.is_open()) {
            incoming.status = OrderStatus::Canceled;  // an immediate order's remainder is dropped
        }
    }
    if (!plan.named) {
        // A replayed order that does not rest: nobody has its id, so nobody could look it up, and
        // replaying immediate orders grows neither memory nor pickles.
        return incoming;
    }
    Registry::Entry& entry = registry_.emplace_reserved(incoming.id);
    if (plan.time_in_force != TimeInForce::GoodTillCancelled) {
        if (entry.copies > 0) {
            // Its id names orders that rest: the registry's value stays theirs, not one that
            // says Filled or Canceled while they trade on.
            return incoming;
        }
    }
    Registry::record(entry, incoming);
    entry.owner = incoming.owner;
    return incoming;
}

namespace {

Result<void> show(BeforeCommit* before_commit, const std::vector<Fill>& fills) {
    if (before_commit == nullptr) {
        return {};
    }
    return before_commit->ready(fills);
}

}  // namespace

Result<std::vector<Fill>> OrderBook::add(const Order& arriving, Environment& environment,
                                         BeforeCommit* before_commit) {
    return enter(arriving, TimeInForce::GoodTillCancelled, no_ref, environment, before_commit);
}

Result<std::vector<Fill>> OrderBook::add_as(const Order& arriving, std::uint64_t ref, Environment& environment,
                                            BeforeCommit* before_commit) {
    if (ref == no_ref) {
        return invalid_value("ref must not be NO_REF");
    }
    if (node_under(ref) != no_index) {
        return invalid_value("ref " + std::to_string(ref) + " already names a resting order");
    }
    return enter(arriving, TimeInForce::GoodTillCancelled, ref, environment, before_commit);
}

Result<std::vector<Fill>> OrderBook::enter(const Order& arriving, TimeInForce time_in_force, std::uint64_t ref,
                                           Environment& environment, BeforeCommit* before_commit) {
    std::vector<Fill> fills;  // allocates only when something trades
    // Most orders trade nothing and join a level that has room: resting them without the plan
    // took an add from 1,744 to 1,458 instructions (bench/instructions.py).
    if (time_in_force == TimeInForce::GoodTillCancelled && arriving.is_open() && std::isfinite(arriving.quantity)) {
        auto rested = rest_if_quiet(arriving, ref, true, before_commit);
        if (!rested) {
            return std::unexpected(std::move(rested.error()));
        }
        if (*rested) {
            return fills;
        }
    }
    auto plan = plan_entry(arriving, time_in_force, ref, environment.clock, &environment.ids, fills, nullptr);
    if (!plan) {
        return std::unexpected(std::move(plan.error()));
    }
    if (auto ready = show(before_commit, fills); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    commit_entry(std::move(*plan), fills);
    return fills;
}

Result<std::vector<Fill>> OrderBook::take(const Order& order, bool all_or_none, Environment& environment,
                                          BeforeCommit* before_commit) {
    const auto time_in_force = all_or_none ? TimeInForce::FillOrKill : TimeInForce::ImmediateOrCancel;
    return enter(order, time_in_force, no_ref, environment, before_commit);
}

}  // namespace varnholt
