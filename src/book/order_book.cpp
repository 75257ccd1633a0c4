#include "order_book.hpp"

#include <cmath>
#include <limits>

#include "../records/number_format.hpp"

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
    entry.order = order;
    entry.recorded = true;
    return entry;
}

const Order* OrderBook::get_order(std::string_view id) const noexcept {
    const Registry::Entry* entry = registry_.find(id);
    return entry != nullptr && entry->recorded ? &entry->order : nullptr;
}

void OrderBook::rest(const Order& order) {
    NodeIndex node = free_nodes_;
    if (node != no_node) {
        free_nodes_ = nodes_[node].next;
    } else {
        node = static_cast<NodeIndex>(nodes_.size());
        nodes_.emplace_back();
    }
    Level& level = side_map(order.side)[order.price_in_ticks];
    Registry::Entry& entry = record(order);
    nodes_[node] = RestingNode{order, level.back, no_node, entry.resting};
    entry.resting = node;
    if (level.back != no_node) {
        nodes_[level.back].next = node;
    } else {
        level.front = node;
    }
    level.back = node;
    ++resting_count_[index(order.side)];
}

void OrderBook::remove_resting(NodeIndex node, Registry::Entry& entry, Side& side, Side::iterator level) {
    RestingNode& resting = nodes_[node];
    (resting.previous != no_node ? nodes_[resting.previous].next : level->second.front) = resting.next;
    (resting.next != no_node ? nodes_[resting.next].previous : level->second.back) = resting.previous;
    if (level->second.front == no_node) {
        side.erase(level);
    }
    for (NodeIndex* link = &entry.resting; *link != no_node; link = &nodes_[*link].next_same_id) {
        if (*link == node) {
            *link = resting.next_same_id;
            break;
        }
    }
    --resting_count_[index(resting.order.side)];
    resting.next = free_nodes_;
    free_nodes_ = node;
}

Result<std::span<const Fill>> OrderBook::add(const Order& arriving, WallClock& clock) {
    if (!std::isfinite(arriving.quantity)) {
        return invalid_value("quantity must be a finite number");
    }
    fills_.clear();
    Order incoming = arriving;
    if (incoming.is_open()) {
        const bool buying = incoming.side == OrderType::Buy;
        Side& opposite = buying ? asks_ : bids_;
        while (incoming.is_open() && !opposite.empty()) {
            // Best price first: the lowest ask for a buy, the highest bid for a sell, never past
            // the incoming limit.
            const auto level = buying ? opposite.begin() : std::prev(opposite.end());
            if (buying ? level->first > incoming.price_in_ticks : level->first < incoming.price_in_ticks) {
                break;
            }
            const NodeIndex front = level->second.front;
            if (front == no_node) {
                record(incoming);
                return internal_failure(empty_level_failure);
            }
            // A clock failure inside fill() changes neither order, so no resting order is lost.
            auto matched = fill(nodes_[front].order, incoming, tick_size_, clock);
            if (!matched) {
                record(incoming);
                return std::unexpected(std::move(matched.error()));
            }
            if (!*matched) {
                break;  // unreachable while sides and prices are kept apart as above
            }
            fills_.push_back(std::move(**matched));
            // The resting copy is filled in place: a partly filled one keeps its place at the front.
            const Order& resting = nodes_[front].order;
            Registry::Entry& entry = record(resting);
            if (!resting.is_open()) {
                remove_resting(front, entry, opposite, level);
            }
        }
        if (incoming.is_open()) {
            rest(incoming);
            return std::span<const Fill>(fills_);
        }
    }
    record(incoming);
    return std::span<const Fill>(fills_);
}

bool OrderBook::cancel(std::string_view id) {
    Registry::Entry* entry = registry_.find(id);
    if (entry == nullptr || !entry->recorded) {
        return false;
    }
    // The registry's value says where its copies rest; copies elsewhere (possible only after
    // update_order recorded another price or side for the id) are left alone.
    const OrderType side_of_value = entry->order.side;
    const std::int64_t price = entry->order.price_in_ticks;
    Side& side = side_map(side_of_value);
    if (auto level = side.find(price); level != side.end()) {
        for (NodeIndex node = entry->resting; node != no_node;) {
            const NodeIndex next = nodes_[node].next_same_id;
            const Order& copy = nodes_[node].order;
            if (copy.side == side_of_value && copy.price_in_ticks == price) {
                const bool last_in_level = level->second.front == level->second.back;
                remove_resting(node, *entry, side, level);
                if (last_in_level) {
                    break;
                }
            }
            node = next;
        }
    }
    entry->recorded = false;
    if (entry->resting == no_node) {
        registry_.erase(*entry);
    }
    return true;
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

double OrderBook::front_quantity(const Level& level) const noexcept {
    return level.front == no_node ? 0.0 : nodes_[level.front].order.quantity;
}

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
    for (const auto& [price, level] : side) {
        for (NodeIndex node = level.front; node != no_node; node = nodes_[node].next) {
            total += nodes_[node].order.quantity;
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
    std::size_t seen_nodes = 0;
    for (const OrderType side_type : {OrderType::Buy, OrderType::Sell}) {
        std::size_t count = 0;
        for (const auto& [price, level] : side_map(side_type)) {
            if (level.front == no_node || level.back == no_node) {
                return "empty level at " + std::to_string(price);
            }
            NodeIndex previous = no_node;
            for (NodeIndex node = level.front; node != no_node; node = nodes_[node].next) {
                const RestingNode& resting = nodes_[node];
                if (resting.previous != previous) {
                    return "broken FIFO links at " + std::to_string(price);
                }
                if (resting.order.side != side_type || resting.order.price_in_ticks != price) {
                    return "order resting on the wrong side or level at " + std::to_string(price);
                }
                if (!resting.order.is_open()) {
                    return "resting order not open at " + std::to_string(price);
                }
                const Registry::Entry* entry = registry_.find(resting.order.id.view());
                bool chained = false;
                for (NodeIndex link = entry ? entry->resting : no_node; link != no_node; link = nodes_[link].next_same_id) {
                    chained = chained || link == node;
                }
                if (!chained) {
                    return "resting order missing from its id chain";
                }
                previous = node;
                ++count;
            }
            if (previous != level.back) {
                return "level back does not match its last order at " + std::to_string(price);
            }
        }
        if (count != resting_count_[index(side_type)]) {
            return "resting count out of step";
        }
        seen_nodes += count;
    }
    if (!bids_.empty() && !asks_.empty() && bids_.rbegin()->first >= asks_.begin()->first) {
        return "book is crossed";
    }
    std::size_t chained_nodes = 0;
    for (const Registry::Entry& entry : registry_.entries()) {
        if (!entry.recorded && entry.resting == no_node) {
            return "registry keeps an entry with neither a value nor resting copies";
        }
        for (NodeIndex link = entry.resting; link != no_node; link = nodes_[link].next_same_id) {
            if (nodes_[link].order.id != entry.order.id) {
                return "id chain holds a copy of another id";
            }
            ++chained_nodes;
        }
        if (registry_.find(entry.order.id.view()) != &entry) {
            return "registry slot does not lead to its entry";
        }
    }
    if (chained_nodes != seen_nodes) {
        return "id chains and levels disagree on the resting copies";
    }
    return std::nullopt;
}

}  // namespace varnholt
