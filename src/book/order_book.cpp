#include "order_book.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../records/number_format.hpp"
#include "../records/portable.hpp"

namespace varnholt {
namespace {

constexpr const char* empty_level_failure = "Queue is not empty if it exists in map";

// Saturating double -> int64: NaN -> 0, at or above 2^63 -> max, below -2^63 -> min.
std::int64_t saturate_to_ticks(double ticks) noexcept {
    constexpr double two_to_63 = 9223372036854775808.0;
    if (std::isnan(ticks)) {
        return 0;
    }
    if (ticks >= two_to_63) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (ticks < -two_to_63) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(ticks);
}

}  // namespace

Registry::Entry& OrderBook::record(const Order& order) {
    Registry::Entry& entry = registry_.emplace(order.id);
    Registry::record(entry, order);
    return entry;
}

std::optional<Order> OrderBook::get_order(std::string_view id) const noexcept {
    const Registry::Entry* entry = registry_.find(id);
    if (entry == nullptr || !entry->recorded) {
        return std::nullopt;
    }
    return Registry::value(*entry);
}

void OrderBook::erase_level(OrderType side, std::int64_t price) noexcept {
    auto& index_of_side = level_index_[index(side)];
    const Side::iterator* found = index_of_side.find(price);
    if (found == nullptr) {
        return;
    }
    const Side::iterator level = *found;
    std::vector<RestingOrder>& slots = level->second.slots;
    if (spare_count_ < spare_limit && slots.capacity() > 0 && slots.capacity() <= spare_capacity_limit) {
        slots.clear();
        spare_buffers_[spare_count_++] = std::move(slots);
    }
    index_of_side.erase(price);
    side_map(side).erase(level);
}

OrderBook::RestPlan OrderBook::prepare_rest(const Order& order, std::uint64_t ref) {
    registry_.reserve_one();
    if (ref != no_ref) {
        refs_.reserve_one();
    }
    auto& index_of_side = level_index_[index(order.side)];
    if (const Side::iterator* found = index_of_side.find(order.price_in_ticks)) {
        Level& level = (*found)->second;
        if (level.slots.size() == level.slots.capacity()) {
            level.slots.reserve(2 * level.slots.capacity());  // moves no copy out of its place
        }
        return RestPlan{&level, {}};
    }
    index_of_side.reserve_one();
    // The new level's node is made in a map of its own and moved into the side's map when the
    // order rests: inserting a node allocates nothing.
    Side scratch;
    const auto made = scratch.try_emplace(order.price_in_ticks).first;
    Level& level = made->second;
    level.price_in_ticks = order.price_in_ticks;
    level.side = order.side;
    if (spare_count_ == 0) {
        // Room for a few copies from the start saves the first rounds of growth, each an
        // allocation and a move.
        level.slots.reserve(initial_slots);
    }
    Side::node_type node = scratch.extract(made);
    return RestPlan{nullptr, std::move(node)};
}

bool OrderBook::rest_if_quiet(const Order& order, std::uint64_t ref) {
    const bool buying = order.side == OrderType::Buy;
    const Side& opposite = buying ? asks_ : bids_;
    if (!opposite.empty() && (buying ? opposite.begin()->first <= order.price_in_ticks
                                     : std::prev(opposite.end())->first >= order.price_in_ticks)) {
        return false;  // it would trade
    }
    const Side::iterator* found = level_index_[index(order.side)].find(order.price_in_ticks);
    if (found == nullptr) {
        return false;
    }
    Level& level = (*found)->second;
    if (level.slots.size() == level.slots.capacity() || !registry_.has_room_for_one() ||
        (ref != no_ref && !refs_.has_room_for_one())) {
        return false;
    }
    commit_rest(order, RestPlan{&level, {}}, nullptr, ref);
    return true;
}

void OrderBook::commit_rest(const Order& order, RestPlan&& plan, Registry::Entry* known, std::uint64_t ref) {
    Level* level = plan.level;
    if (level == nullptr) {
        Level& fresh = plan.new_level.mapped();
        if (fresh.slots.capacity() == 0) {
            // A buffer was spare when the rest was planned, and a sweep only ever adds spares.
            fresh.slots = std::move(spare_buffers_[--spare_count_]);
        }
        const auto inserted = side_map(order.side).insert(std::move(plan.new_level)).position;
        level_index_[index(order.side)].insert(order.price_in_ticks, inserted);
        level = &inserted->second;
    }
    const auto position = static_cast<std::uint32_t>(level->slots.size());
    Registry::Entry& entry = known != nullptr ? *known : registry_.emplace_reserved(order.id);
    Registry::record(entry, order);
    const std::uint32_t entry_index = registry_.index_of(entry);
    level->slots.push_back(RestingOrder{order, entry_index, ref});
    // An amended order keeps its reference, which still leads to its entry.
    if (ref != no_ref && known == nullptr) {
        refs_.insert(static_cast<std::int64_t>(ref), entry_index);
    }
    if (level->quantity_known) {
        level->known_quantity += order.quantity;  // exactly the walk's next step
    }
    ++level->live;
    ++resting_count_[index(order.side)];
    // Only a lone copy is located; a second copy of the same id (the same order added twice)
    // makes a cancel search the level instead.
    Registry::Location& location = registry_.location(entry);
    entry.located = ++location.copies == 1;
    location.level = level;
    location.sequence = level->sequence_at(position);
}

void OrderBook::vacate(Level& level, std::uint32_t position) noexcept {
    // Only written, not read: a cancel that goes straight to a located copy does not wait for
    // the copy's memory.
    level.slots[position].order.status = OrderStatus::Canceled;  // marks the slot vacated
    level.quantity_known = false;
    --resting_count_[index(level.side)];
    --level.live;
    if (position == level.head) {
        while (level.head < level.slots.size() && !level.slots[level.head].order.is_open()) {
            ++level.head;
        }
    }
}

void OrderBook::forget_copy(Registry::Entry& entry) noexcept {
    --registry_.location(entry).copies;
    entry.located = false;  // one of several copies left, and nobody knows which one remains
}

void OrderBook::take_out(Level& level, std::uint32_t position, Registry::Entry& entry) noexcept {
    release_ref(level.slots[position]);
    vacate(level, position);
    forget_copy(entry);
}

void OrderBook::tidy_level(Level& level) noexcept {
    if (level.live == 0) {
        erase_level(level.side, level.price_in_ticks);
    } else {
        compact_if_sparse(level);
    }
}

void OrderBook::compact(Level& level) noexcept {
    const std::size_t size = level.slots.size();
    const std::size_t holes = size - level.head - level.live;
    if (holes >= compaction_slack && holes > level.live) {
        // Squeeze: live copies move down and take new numbers, which their located entries follow.
        std::uint32_t kept = 0;
        for (auto position = level.head; position < size; ++position) {
            RestingOrder& slot = level.slots[position];
            if (!slot.order.is_open()) {
                continue;
            }
            Registry::Entry& entry = registry_.at(slot.entry);
            Registry::Location& location = registry_.location(entry);
            if (entry.located && location.level == &level && location.sequence == level.sequence_at(position)) {
                location.sequence = level.sequence_at(kept);
            }
            level.slots[kept++] = slot;
        }
        level.slots.resize(kept);
        level.head = 0;
    } else if (level.head >= compaction_slack && level.head >= size / 2) {
        // Drop the consumed prefix: numbers stay, only the first number moves on.
        level.slots.erase(level.slots.begin(), level.slots.begin() + level.head);
        level.first_sequence += level.head;
        level.head = 0;
    }
}

Result<Order> OrderBook::plan_sweep(const Order& incoming, WallClock& clock, std::vector<Fill>& fills,
                                    std::vector<Matched>* matched) const {
    Order left = incoming;
    if (!left.is_open()) {
        return left;
    }
    const bool buying = left.side == OrderType::Buy;
    const Side& opposite = buying ? asks_ : bids_;
    // Most orders cross nothing: one look at the best opposite price settles it.
    if (opposite.empty() || (buying ? opposite.begin()->first > left.price_in_ticks
                                    : std::prev(opposite.end())->first < left.price_in_ticks)) {
        return left;
    }
    // Best price first: the lowest ask for a buy, the highest bid for a sell, never past the
    // incoming limit; within a level, from the front.
    const auto visit_level = [&](const Level& queue) -> Result<bool> {
        if (queue.live == 0) {
            return internal_failure(empty_level_failure);
        }
        for (std::size_t position = queue.head; position < queue.slots.size(); ++position) {
            Order resting = queue.slots[position].order;
            if (!resting.is_open()) {
                continue;
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
                matched->push_back(Matched{queue.slots[position].ref, queue.price_in_ticks});
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

void OrderBook::commit_sweep(Order& incoming, const std::vector<Fill>& fills) noexcept {
    const bool buying = incoming.side == OrderType::Buy;
    Side& opposite = buying ? asks_ : bids_;
    for (const Fill& planned : fills) {
        // The plan took the same resting copies in the same order: each is now the front of the
        // best level, and it loses exactly what the plan worked out.
        const auto level = buying ? opposite.begin() : std::prev(opposite.end());
        Level& queue = level->second;
        RestingOrder& front = queue.slots[queue.head];
        Order& resting = front.order;
        reduce_by(resting, planned.quantity);
        reduce_by(incoming, planned.quantity);
        queue.quantity_known = false;
        // A partly filled resting copy keeps its place at the front, and its registry entry
        // (known by index) records the change.
        Registry::Entry& entry = registry_.at(front.entry);
        Registry::record(entry, resting);
        if (!resting.is_open()) {
            take_out(queue, queue.head, entry);
            tidy_level(queue);
        }
    }
}

Result<OrderBook::EntryPlan> OrderBook::plan_entry(const Order& arriving, TimeInForce time_in_force,
                                                   std::uint64_t ref, WallClock& clock, std::vector<Fill>& fills,
                                                   std::vector<Matched>* matched) {
    if (!std::isfinite(arriving.quantity)) {
        return invalid_value("quantity must be a finite number");
    }
    const std::size_t first_fill = fills.size();
    auto planned = plan_sweep(arriving, clock, fills, matched);
    if (!planned) {
        return std::unexpected(std::move(planned.error()));
    }
    EntryPlan plan{arriving, time_in_force, ref, false, false, {}};
    if (time_in_force != TimeInForce::GoodTillCancelled && arriving.is_open() && planned->is_open()) {
        // What the sweep trades, summed in its order: enough means filled (see take()).
        double traded = 0.0;
        for (std::size_t i = first_fill; i < fills.size(); ++i) {
            traded += fills[i].quantity;
        }
        plan.filled_by_sum = traded >= arriving.quantity;
    }
    if (time_in_force == TimeInForce::FillOrKill &&
        (!arriving.is_open() || (planned->is_open() && !plan.filled_by_sum))) {
        plan.killed = true;  // it would not fill completely, so nothing happens
        fills.clear();
        if (matched != nullptr) {
            matched->clear();
        }
        return plan;
    }
    // A matchable order still open after the sweep rests, unless it is immediate; one that
    // arrived filled does not.
    plan.rests = time_in_force == TimeInForce::GoodTillCancelled && arriving.is_open() && planned->is_open();
    if (plan.rests) {
        plan.rest = prepare_rest(*planned, ref);
    } else {
        registry_.reserve_one();
    }
    return plan;
}

std::optional<Order> OrderBook::commit_entry(EntryPlan&& plan, const std::vector<Fill>& fills) {
    if (plan.killed) {
        return std::nullopt;
    }
    Order incoming = plan.arriving;
    commit_sweep(incoming, fills);
    if (plan.rests) {
        commit_rest(incoming, std::move(plan.rest), nullptr, plan.ref);
        return incoming;
    }
    Registry::Entry& entry = registry_.emplace_reserved(incoming.id);
    if (plan.time_in_force != TimeInForce::GoodTillCancelled) {
        if (plan.filled_by_sum) {
            incoming.quantity = 0.0;  // what rounding left is no quantity it still wants
            incoming.status = OrderStatus::Filled;
        }
        if (incoming.is_open()) {
            incoming.status = OrderStatus::Canceled;  // an immediate order's remainder is dropped
        }
        if (registry_.location(entry).copies > 0) {
            // Its id names orders that rest: the registry's value stays theirs, not one that
            // says Filled or Canceled while they trade on.
            return incoming;
        }
    }
    Registry::record(entry, incoming);
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

Result<std::vector<Fill>> OrderBook::add(const Order& arriving, WallClock& clock, BeforeCommit* before_commit) {
    std::vector<Fill> fills;  // allocates only when something trades
    auto plan = plan_entry(arriving, TimeInForce::GoodTillCancelled, no_ref, clock, fills, nullptr);
    if (!plan) {
        return std::unexpected(std::move(plan.error()));
    }
    if (auto ready = show(before_commit, fills); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    commit_entry(std::move(*plan), fills);
    return fills;
}

Result<std::vector<Fill>> OrderBook::take(const Order& order, bool all_or_none, WallClock& clock,
                                          BeforeCommit* before_commit) {
    std::vector<Fill> fills;
    const auto time_in_force = all_or_none ? TimeInForce::FillOrKill : TimeInForce::ImmediateOrCancel;
    auto plan = plan_entry(order, time_in_force, no_ref, clock, fills, nullptr);
    if (!plan) {
        return std::unexpected(std::move(plan.error()));
    }
    if (auto ready = show(before_commit, fills); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    commit_entry(std::move(*plan), fills);
    return fills;
}

const Level* OrderBook::level_of(OrderType side, std::int64_t price) const noexcept {
    const Side::iterator* found = level_index_[index(side)].find(price);
    return found != nullptr ? &(*found)->second : nullptr;
}

std::optional<OrderBook::CopyPlace> OrderBook::first_copy(const Registry::Entry& entry) const noexcept {
    const Registry::Location& location = registry_.location(entry);
    if (location.copies == 0) {
        return std::nullopt;
    }
    if (entry.located) {
        return CopyPlace{location.level, location.level->position_of(location.sequence)};
    }
    const auto first_in = [&](const Level& level) -> std::optional<CopyPlace> {
        for (auto position = level.head; position < level.slots.size(); ++position) {
            const Order& copy = level.slots[position].order;
            if (copy.is_open() && copy.id == entry.id) {
                return CopyPlace{&level, position};
            }
        }
        return std::nullopt;
    };
    // Several copies: the first one at the recorded price, where they rest unless update_order
    // recorded another price or an amendment moved one of them.
    if (entry.recorded) {
        if (const Side::iterator* found = level_index_[index(entry.side)].find(entry.price_in_ticks)) {
            if (auto place = first_in((*found)->second)) {
                return place;
            }
        }
    }
    // Otherwise the first one in the listings' order (bids, then asks, each by ascending price): a
    // walk over the whole book, needed only in those rare cases.
    for (const Side* side : {&bids_, &asks_}) {
        for (const auto& [price, level] : *side) {
            if (auto place = first_in(level)) {
                return place;
            }
        }
    }
    return std::nullopt;
}

Result<std::optional<std::vector<Fill>>> OrderBook::amend(std::string_view id, std::optional<double> quantity,
                                                          std::optional<std::int64_t> price_in_ticks, WallClock& clock,
                                                          BeforeCommit* before_commit) {
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
    auto plan = plan_amendment(*found, quantity, price_in_ticks, clock, fills, nullptr);
    if (!plan) {
        return std::unexpected(std::move(plan.error()));
    }
    if (plan->level == nullptr) {
        return Amended{};
    }
    if (auto ready = show(before_commit, fills); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    commit_amendment(std::move(*plan), fills);
    return Amended{std::move(fills)};
}

Result<OrderBook::AmendmentPlan> OrderBook::plan_amendment(Registry::Entry& entry, std::optional<double> quantity,
                                                           std::optional<std::int64_t> price_in_ticks, WallClock& clock,
                                                           std::vector<Fill>& fills, std::vector<Matched>* matched) {
    AmendmentPlan plan;
    const auto place = first_copy(entry);
    if (!place) {
        return plan;  // no resting copy
    }
    // first_copy() is const so that queue_position() can share it; the level is the book's own.
    plan.level = const_cast<Level*>(place->level);
    plan.position = place->position;
    plan.entry_index = registry_.index_of(entry);
    plan.before = plan.after = plan.level->slots[place->position].order;
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
    auto planned = plan_sweep(plan.after, clock, fills, matched);
    if (!planned) {
        return std::unexpected(std::move(planned.error()));
    }
    plan.rests = planned->is_open();
    if (plan.rests) {
        plan.rest = prepare_rest(*planned);  // may move entries and copies: the plan keeps indices
    }
    return plan;
}

Order OrderBook::commit_amendment(AmendmentPlan&& plan, const std::vector<Fill>& fills) {
    Level& level = *plan.level;
    Registry::Entry& entry = registry_.at(plan.entry_index);
    if (plan.in_place) {
        Order& copy = level.slots[plan.position].order;
        copy.quantity = plan.after.quantity;
        level.quantity_known = false;
        Registry::record(entry, copy);
        return copy;
    }
    if (!plan.moves) {
        return plan.after;
    }
    const std::uint64_t ref = level.slots[plan.position].ref;  // the moved order keeps it
    Order moved = plan.after;
    vacate(level, plan.position);
    forget_copy(entry);
    commit_sweep(moved, fills);
    if (plan.rests) {
        commit_rest(moved, std::move(plan.rest), &entry, ref);
    } else {
        Registry::record(entry, moved);
        if (ref != no_ref) {
            refs_.erase(static_cast<std::int64_t>(ref));
        }
    }
    // The old level goes if it is empty now (it still holds the order when it rested there again).
    tidy_level(level);
    return moved;
}

const OrderId* OrderBook::order_id(std::uint64_t ref) const noexcept {
    const std::uint32_t* entry = refs_.find(static_cast<std::int64_t>(ref));
    return entry != nullptr ? &registry_.places()[*entry].id : nullptr;
}

std::size_t OrderBook::forget_filled() noexcept {
    std::size_t forgotten = 0;
    for (std::uint32_t index = 0; index < registry_.places().size(); ++index) {
        Registry::Entry& entry = registry_.at(index);
        if (!entry.in_use || !entry.recorded || entry.status != OrderStatus::Filled) {
            continue;
        }
        // An id with resting copies keeps its value, so that cancel still finds them.
        if (registry_.location(entry).copies == 0) {
            registry_.erase(entry);
            ++forgotten;
        }
    }
    return forgotten;
}

double Level::quantity() const noexcept {
    if (!quantity_known) {
        double total = 0.0;
        for (std::size_t position = head; position < slots.size(); ++position) {
            if (slots[position].order.is_open()) {
                total += slots[position].order.quantity;
            }
        }
        known_quantity = total;
        quantity_known = true;
    }
    return known_quantity;
}

std::pair<std::vector<LevelDepth>, std::vector<LevelDepth>> OrderBook::depth(std::uint64_t levels) const {
    std::pair<std::vector<LevelDepth>, std::vector<LevelDepth>> sides;
    const auto collect = [levels](auto level, auto end, std::size_t count, std::vector<LevelDepth>& out) {
        out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(levels, count)));
        for (; level != end && out.size() < levels; ++level) {
            out.push_back(LevelDepth{level->first, level->second.quantity(), level->second.live});
        }
    };
    collect(bids_.rbegin(), bids_.rend(), bids_.size(), sides.first);
    collect(asks_.begin(), asks_.end(), asks_.size(), sides.second);
    return sides;
}

LevelDepth OrderBook::volume_at(OrderType side, std::int64_t price_in_ticks) const noexcept {
    const Level* level = level_of(side, price_in_ticks);
    return level != nullptr ? LevelDepth{price_in_ticks, level->quantity(), level->live}
                            : LevelDepth{price_in_ticks, 0.0, 0};
}

std::optional<QueuePosition> OrderBook::queue_position(std::string_view id) const noexcept {
    const Registry::Entry* entry = registry_.find(id);
    const auto place = entry != nullptr ? first_copy(*entry) : std::nullopt;
    if (!place) {
        return std::nullopt;
    }
    QueuePosition ahead;
    const Level& level = *place->level;
    for (auto position = level.head; position < place->position; ++position) {
        const Order& copy = level.slots[position].order;
        if (copy.is_open()) {
            ++ahead.orders_ahead;
            ahead.quantity_ahead += copy.quantity;
        }
    }
    return ahead;
}

bool OrderBook::cancel(std::string_view id) noexcept {
    Registry::Entry* entry = registry_.find(id);
    if (entry == nullptr || !entry->recorded) {
        return false;
    }
    cancel_entry(*entry);
    return true;
}

double OrderBook::cancel_entry(Registry::Entry& found) noexcept {
    Registry::Entry* entry = &found;
    double cancelled = 0.0;
    // The registry's value says where the copies rest. Only a value from update_order can say
    // otherwise, and then its level is the only one looked at (a copy elsewhere stays); the
    // book's own values never strand a copy, so every other cancel takes out every copy.
    const OrderType side_of_value = entry->side;
    const std::int64_t price = entry->price_in_ticks;
    const bool everywhere = !entry->from_caller;
    const Registry::Location& location = registry_.location(*entry);
    const auto take_out_of = [&](Level& queue) {
        bool found_one = false;
        for (auto position = queue.head; position < queue.slots.size(); ++position) {
            const Order& copy = queue.slots[position].order;
            if (copy.is_open() && copy.id == entry->id) {  // side and price are the level's
                cancelled += copy.quantity;
                take_out(queue, position, *entry);
                found_one = true;
            }
        }
        if (found_one) {
            tidy_level(queue);  // after its copies have left: an emptied level goes
        }
    };
    if (entry->located) {
        // The lone copy is found without a search, and its level tells its place without reading
        // the copy.
        Level& queue = *location.level;
        if (everywhere || (queue.side == side_of_value && queue.price_in_ticks == price)) {
            const std::uint32_t position = queue.position_of(location.sequence);
            cancelled += queue.slots[position].order.quantity;
            take_out(queue, position, *entry);
            tidy_level(queue);
        }
    } else if (location.copies > 0) {
        if (const Side::iterator* level = level_index_[index(side_of_value)].find(price)) {
            take_out_of((*level)->second);
        }
        if (everywhere && location.copies > 0) {
            // Copies at other prices (an amendment moved one, or an order came with the id of
            // one that rests): a walk over the book, needed only then.
            for (Side* side : {&bids_, &asks_}) {
                for (auto level = side->begin(); level != side->end() && location.copies > 0;) {
                    take_out_of((level++)->second);  // the level may go
                }
            }
        }
    }
    // compact_if_sparse() only looks entries up, so `entry` is still valid here.
    entry->recorded = false;
    if (location.copies == 0) {
        registry_.erase(*entry);
    }
    return cancelled;
}

Result<Order> OrderBook::create_order(OrderType side, double price, double quantity, Environment& environment) const {
    if (price <= 0 || quantity <= 0) {
        return invalid_value("Price and quantity must be positive");
    }
    if (!std::isfinite(quantity)) {
        return invalid_value("quantity must be a finite number");
    }
    // std::round is IEEE roundToIntegralTiesToAway and exact for every double; adding one half
    // and truncating is not (0.49999999999999994 + 0.5 rounds up to 1.0).
    const std::int64_t price_in_ticks = saturate_to_ticks(std::round(price / tick_size_));
    if (price_in_ticks <= 0) {
        return invalid_value("Resulting price_in_ticks must be positive");
    }
    return make_order(side, price_in_ticks, quantity, environment);
}

namespace {

// A level that were ever found empty would report a front quantity of 0.0; none stays in a map.
double front_quantity(const Level& level) noexcept {
    return level.live == 0 ? 0.0 : level.slots[level.head].order.quantity;
}

}  // namespace

std::optional<BestLevel> OrderBook::best_bid() const noexcept {
    if (bids_.empty()) {
        return std::nullopt;
    }
    const auto& [price, level] = *bids_.rbegin();
    return BestLevel{price, front_quantity(level)};
}

std::optional<BestLevel> OrderBook::best_ask() const noexcept {
    if (asks_.empty()) {
        return std::nullopt;
    }
    const auto& [price, level] = *asks_.begin();
    return BestLevel{price, front_quantity(level)};
}

double OrderBook::volume(const Side& side) const noexcept {
    // Summed from -0.0 in ascending price and FIFO order: an empty side gives -0.0, and the order
    // of addition decides the last bits of the total.
    double total = -0.0;
    for (auto it = side.begin(); it != side.end(); ++it) {
        const Level& level = it->second;
        // Levels lie scattered in memory: start loading the next one's copies while summing these.
        if (auto next = std::next(it); next != side.end()) {
            prefetch(next->second.slots.data() + next->second.head);
        }
        for (std::size_t position = level.head; position < level.slots.size(); ++position) {
            const Order& slot = level.slots[position].order;
            if (slot.is_open()) {
                total += slot.quantity;
            }
        }
    }
    return total;
}

std::optional<double> OrderBook::spread() const noexcept {
    if (bids_.empty() || asks_.empty()) {
        return std::nullopt;
    }
    // From the tick difference, not from two decimal prices: 10051 - 10050 ticks at 0.01 is 0.01.
    // Both keys are positive, so the difference cannot overflow.
    return static_cast<double>(asks_.begin()->first - bids_.rbegin()->first) * tick_size_;
}

std::string OrderBook::summary() const {
    std::string text;
    text.reserve(128);
    const auto append_level = [&](const std::optional<BestLevel>& level) {
        if (!level) {
            text += "None";
            return;
        }
        append_fixed(text, level->second, 2);
        text += " @ ";
        append_shortest(text, static_cast<double>(level->first) * tick_size_);
    };
    text += "Best Bid: ";
    append_level(best_bid());
    text += ", Best Ask: ";
    append_level(best_ask());
    text += " (Spread: ";
    if (const auto current = spread()) {
        append_fixed(text, *current, 4);
    } else {
        text += "None";
    }
    text += ")\nOpen Buy Volume: ";
    append_fixed(text, buy_volume(), 2);
    text += ", Open Sell Volume: ";
    append_fixed(text, sell_volume(), 2);
    return text;
}

std::optional<std::string> OrderBook::find_broken_invariant() const {
    std::size_t resting_total = 0;
    std::size_t referenced = 0;
    for (const OrderType side_type : {OrderType::Buy, OrderType::Sell}) {
        std::size_t count = 0;
        for (const auto& [price, level] : side_map(side_type)) {
            const std::string where = " at " + std::to_string(price);
            if (level.live == 0) {
                return "empty level" + where;
            }
            const Side::iterator* indexed = level_index_[index(side_type)].find(price);
            if (indexed == nullptr || &(*indexed)->second != &level) {
                return "price index does not lead to the level" + where;
            }
            if (level.head >= level.slots.size() || !level.slots[level.head].order.is_open()) {
                return "level head is not its first live slot" + where;
            }
            std::size_t live = 0;
            double walked = 0.0;
            for (std::size_t position = level.head; position < level.slots.size(); ++position) {
                const Order& slot = level.slots[position].order;
                if (!slot.is_open()) {
                    continue;
                }
                ++live;
                walked += slot.quantity;
                if (slot.side != side_type || slot.price_in_ticks != price) {
                    return "order resting on the wrong side or level" + where;
                }
                const Registry::Entry* entry = registry_.find(slot.id.view());
                if (entry == nullptr || registry_.location(*entry).copies == 0) {
                    return "resting order unknown to the registry" + where;
                }
                if (registry_.index_of(*entry) != level.slots[position].entry) {
                    return "resting order points at another registry entry" + where;
                }
                if (const std::uint64_t ref = level.slots[position].ref; ref != no_ref) {
                    const std::uint32_t* referred = refs_.find(static_cast<std::int64_t>(ref));
                    if (referred == nullptr || *referred != level.slots[position].entry) {
                        return "a resting order's reference does not lead to its entry" + where;
                    }
                    ++referenced;
                }
                const Registry::Location& location = registry_.location(*entry);
                if (entry->located &&
                    (location.copies != 1 || location.level != &level || location.sequence != level.sequence_at(position))) {
                    return "registry locates a resting order in the wrong place" + where;
                }
            }
            if (live != level.live) {
                return "live count out of step" + where;
            }
            if (level.quantity_known && level.known_quantity != walked) {
                return "the level's known quantity is not the sum of its orders" + where;
            }
            count += live;
        }
        if (count != resting_count_[index(side_type)]) {
            return "resting count out of step";
        }
        resting_total += count;
    }
    if (spare_count_ > spare_limit) {
        return "more spare buffers than their array holds";
    }
    std::size_t copies = 0;
    for (const Registry::Entry& entry : registry_.places()) {
        if (!entry.in_use) {
            continue;
        }
        const std::uint32_t entry_copies = registry_.location(entry).copies;
        if (!entry.recorded && entry_copies == 0) {
            return "registry keeps an entry with neither a value nor resting copies";
        }
        if (registry_.find(entry.id.view()) != &entry) {
            return "registry slot does not lead to its entry";
        }
        copies += entry_copies;
    }
    if (copies != resting_total) {
        return "registry and levels disagree on the resting copies";
    }
    if (referenced != refs_.size()) {
        return "references lead to orders that do not rest";
    }
    return std::nullopt;
}

std::size_t OrderBook::longest_price_probe_run() const noexcept {
    return std::max(level_index_[0].longest_probe_run(), level_index_[1].longest_probe_run());
}

std::size_t OrderBook::longest_id_probe_run() const noexcept {
    return std::max(registry_.longest_probe_run(), refs_.longest_probe_run());
}

}  // namespace varnholt
