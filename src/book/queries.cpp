// What the book says without changing: look-ups, depth, level volumes, queue positions, the best
// levels, side volumes, the spread and the summary; order creation; and the invariant checker.
#include <algorithm>
#include <cmath>
#include <limits>

#include "../records/number_format.hpp"
#include "order_book.hpp"

namespace varnholt {
namespace {

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

std::optional<Order> OrderBook::get_order(std::string_view id) const noexcept {
    const Registry::Entry* entry = registry_.find(id);
    if (entry == nullptr || !entry->recorded) {
        return std::nullopt;
    }
    return Registry::value(*entry);
}

std::pair<std::vector<LevelDepth>, std::vector<LevelDepth>> OrderBook::depth(std::uint64_t levels) const {
    std::pair<std::vector<LevelDepth>, std::vector<LevelDepth>> sides;
    const auto collect = [&](auto level, auto end, std::size_t count, std::vector<LevelDepth>& out) {
        out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(levels, count)));
        for (; level != end && out.size() < levels; ++level) {
            const Level& at = levels_[level->second];
            out.push_back(LevelDepth{level->first, level_quantity(at), at.count});
        }
    };
    collect(bids_.rbegin(), bids_.rend(), bids_.size(), sides.first);
    collect(asks_.begin(), asks_.end(), asks_.size(), sides.second);
    return sides;
}

void OrderBook::write_depth(std::size_t depth, LevelRecord* bids, LevelRecord* asks) const noexcept {
    const auto write = [&](auto level, auto end, LevelRecord* out) {
        for (std::size_t k = 0; k < depth && level != end; ++k, ++level) {
            const Level& at = levels_[level->second];
            out[k] = LevelRecord{level->first, level_quantity(at), at.count};
        }
    };
    write(bids_.rbegin(), bids_.rend(), bids);
    write(asks_.begin(), asks_.end(), asks);
}

LevelDepth OrderBook::volume_at(OrderType side, std::int64_t price_in_ticks) const noexcept {
    const std::uint32_t level = level_at(side, price_in_ticks);
    return level != no_index ? LevelDepth{price_in_ticks, level_quantity(levels_[level]), levels_[level].count}
                             : LevelDepth{price_in_ticks, 0.0, 0};
}

std::optional<QueuePosition> OrderBook::queue_position(std::string_view id) const noexcept {
    const Registry::Entry* entry = registry_.find(id);
    const std::uint32_t found = entry != nullptr ? first_copy(*entry) : no_index;
    if (found == no_index) {
        return std::nullopt;
    }
    // A walk from the front: what is ahead, summed in queue order from 0.0.
    QueuePosition ahead;
    for (std::uint32_t node = levels_[nodes_[found].level].head; node != found; node = nodes_[node].next) {
        ++ahead.orders_ahead;
        ahead.quantity_ahead += nodes_[node].quantity;
    }
    return ahead;
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

std::optional<BestLevel> OrderBook::best_bid() const noexcept {
    if (bids_.empty()) {
        return std::nullopt;
    }
    const auto& [price, level] = *bids_.rbegin();
    return BestLevel{price, nodes_[levels_[level].head].quantity};
}

std::optional<BestLevel> OrderBook::best_ask() const noexcept {
    if (asks_.empty()) {
        return std::nullopt;
    }
    const auto& [price, level] = *asks_.begin();
    return BestLevel{price, nodes_[levels_[level].head].quantity};
}

double OrderBook::volume(OrderType side) const noexcept {
    const std::size_t at = index(side);
    if (side_total_known_[at]) {
        return side_total_[at];
    }
    // Summed from -0.0 in ascending price and FIFO order: an empty side gives -0.0, and the order
    // of addition decides the last bits of the total. The walk leaves each level the running
    // total after it, and a change forgets those from its level on, so the next walk resumes at
    // the first level that changed with the running total before it: the same additions in the
    // same order. Bids change mostly at the touch, their last levels in that order, so a walk
    // after such a change is short; asks change mostly at their first levels.
    const Side& levels = side_map(side);
    const auto from = levels.lower_bound(folded_below_[at]);
    double total = from == levels.begin() ? -0.0 : levels_[std::prev(from)->second].fold_after;
    walk_in_order(
        from, levels.end(), [&](std::uint32_t node) noexcept { total += nodes_[node].quantity; },
        [&](std::uint32_t level) noexcept { levels_[level].fold_after = total; });
    side_total_[at] = total;
    side_total_known_[at] = true;
    folded_below_[at] = std::numeric_limits<std::int64_t>::max();
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
    std::size_t level_total = 0;
    for (const OrderType side_type : {OrderType::Buy, OrderType::Sell}) {
        std::size_t count = 0;
        double side_walked = -0.0;
        for (const auto& [price, level_index] : side_map(side_type)) {
            const std::string where = " at " + std::to_string(price);
            const Level& level = levels_[level_index];
            if (level.count == 0) {
                return "empty level" + where;
            }
            if (level.side != side_type || level.price_in_ticks != price) {
                return "level on the wrong side or price" + where;
            }
            if (level_at(side_type, price) != level_index) {
                return "price index does not lead to the level" + where;
            }
            std::size_t walked_count = 0;
            double walked = 0.0;
            std::uint32_t previous = no_index;
            for (std::uint32_t node = level.head; node != no_index; previous = node, node = nodes_[node].next) {
                const RestingNode& resting = nodes_[node];
                if (resting.previous != previous || resting.level != level_index || walked_count > level.count) {
                    return "queue links out of step" + where;
                }
                if (!(resting.quantity > 0.0)) {
                    return "resting order without open quantity" + where;
                }
                ++walked_count;
                walked += resting.quantity;
                side_walked += resting.quantity;
                const Registry::Entry& entry = registry_.at(resting.entry);
                if (!entry.in_use || entry.copies == 0) {
                    return "resting order unknown to the registry" + where;
                }
                if (entry.located && (entry.copies != 1 || entry.node != node)) {
                    return "registry locates a resting order in the wrong place" + where;
                }
                if (resting.ref != no_ref) {
                    if (node_under(resting.ref) != node) {
                        return "a resting order's reference does not lead to it" + where;
                    }
                    ++referenced;
                }
            }
            if (walked_count != level.count || level.tail != previous) {
                return "order count or tail out of step" + where;
            }
            if (level.quantity_known && level.known_quantity != walked) {
                return "the level's known quantity is not the sum of its orders" + where;
            }
            if (price < folded_below_[index(side_type)] && level.fold_after != side_walked) {
                return "the side's running total after the level is not the walk's" + where;
            }
            count += walked_count;
            ++level_total;
        }
        if (side_total_known_[index(side_type)] && side_total_[index(side_type)] != side_walked) {
            return "the side's known total is not the sum of its orders";
        }
        if (count != resting_count_[index(side_type)]) {
            return "resting count out of step";
        }
        resting_total += count;
    }
    if (nodes_.in_use() != resting_total || nodes_.in_use() + nodes_.count_free() != nodes_.size()) {
        return "node pool out of step with the levels";
    }
    if (levels_.in_use() != level_total || levels_.in_use() + levels_.count_free() != levels_.size()) {
        return "level pool out of step with the sides";
    }
    std::size_t copies = 0;
    std::size_t unnamed = 0;
    for (const Registry::Entry& entry : registry_.places()) {
        if (!entry.in_use) {
            continue;
        }
        if (!entry.recorded && entry.copies == 0) {
            return "registry keeps an entry with neither a value nor resting orders";
        }
        if (!entry.named) {
            // An order nobody asked the id of rests alone under its entry, which goes with it.
            if (!entry.located || entry.copies != 1) {
                return "an entry without an id is not one resting order's";
            }
            ++unnamed;
        } else if (registry_.find(entry.id) != &entry) {
            return "registry slot does not lead to its entry";
        }
        copies += entry.copies;
    }
    if (unnamed != registry_.unnamed()) {
        return "registry miscounts its entries without an id";
    }
    if (copies != resting_total) {
        return "registry and levels disagree on the resting orders";
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
