// Saved states of a book: save_state() writes the layout the README describes, restore() checks
// a state whole before it builds the book from it.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "../records/state.hpp"
#include "order_book.hpp"

namespace varnholt {
namespace {

// Registry entry: the value's fields (as an order's) after a "recorded" flag (u8): 0 no value
// (an entry kept only for its resting copies), 1 a value the book recorded, 2 a value recorded by
// update_order (cancel treats the two apart); from version 2 the owner (u32) between the two.
constexpr std::size_t entry_bytes = 1 + id_length + 2 + 8 + 8 + 8;
constexpr std::size_t owner_bytes = 4;
// Resting copy: its entry's number in the state (u32), quantity (f64), timestamp (u64) and the
// caller's reference (u64, all ones for none).
constexpr std::size_t copy_bytes = 4 + 8 + 8 + 8;

// The ids of a state's registry, to find one that comes twice without an allocation per id: the
// book's hash table over where each id lies in the state.
class IdsSeen {
public:
    IdsSeen(std::string_view state, std::size_t count) : state_(state) {
        table_.reserve(count);
        where_.reserve(count);
    }

    // False when the same id was inserted before.
    bool insert(std::size_t id_at) {
        const std::string_view id = state_.substr(id_at, id_length);
        const std::uint32_t hash = hash_text(id);
        if (table_.find(hash, [&](std::uint32_t i) { return state_.substr(where_[i], id_length) == id; }) !=
            table_.none) {
            return false;
        }
        table_.insert(hash, static_cast<std::uint32_t>(where_.size()));
        where_.push_back(id_at);
        return true;
    }

private:
    std::string_view state_;
    IndexTable<50> table_;
    std::vector<std::size_t> where_;
};

// The references of a state's resting orders, to find one given twice.
class RefsSeen {
public:
    bool insert(std::uint64_t ref) {
        const std::uint32_t hash = hash_number(ref);
        if (table_.find(hash, [&](std::uint32_t i) { return refs_[i] == ref; }) != table_.none) {
            return false;
        }
        table_.reserve_one();
        refs_.push_back(ref);
        table_.insert(hash, static_cast<std::uint32_t>(refs_.size() - 1));
        return true;
    }

private:
    IndexTable<50> table_;
    std::vector<std::uint64_t> refs_;
};

}  // namespace

Result<OrderBook> OrderBook::copy(IdGenerator& ids) {
    // The ids are drawn and their room made first, then the copy (which may run out of memory),
    // and only then do both books give them: the table's room is copied with it.
    auto names = draw_names(ids, std::nullopt);
    if (!names) {
        return std::unexpected(std::move(names.error()));
    }
    OrderBook copied(*this);
    commit_names(*names);
    copied.commit_names(*names);
    return copied;
}

Result<std::string> OrderBook::save_state(IdGenerator& ids) {
    // As for a copy: the state is written with the drawn ids, which the book gives only once the
    // state is made. Sorted by entry, they come in the order the registry is written.
    auto names = draw_names(ids, std::nullopt);
    if (!names) {
        return std::unexpected(std::move(names.error()));
    }
    std::sort(names->begin(), names->end(), [](const Naming& a, const Naming& b) { return a.entry < b.entry; });
    std::size_t next_name = 0;
    std::string state;
    const std::size_t copies = resting_count_[0] + resting_count_[1];
    state.reserve(5 + 8 + 1 + 8 + (registry_.size() + registry_.unnamed()) * (entry_bytes + owner_bytes) + 16 +
                  (bids_.size() + asks_.size()) * 16 + copies * copy_bytes);
    ByteWriter out(state);
    write_state_header(out, StateKind::OrderBook, book_state_version);
    out.put(tick_size_);
    out.put(static_cast<std::uint8_t>(self_trade_));
    // Entries are numbered in the state as they come; free places are left out.
    std::vector<std::uint32_t> number(registry_.places().size(), 0);
    out.put(static_cast<std::uint64_t>(registry_.size() + registry_.unnamed()));
    std::uint32_t next = 0;
    for (std::uint32_t place = 0; place < registry_.places().size(); ++place) {
        const Registry::Entry& entry = registry_.places()[place];
        if (!entry.in_use) {
            continue;
        }
        number[place] = next++;
        out.put(static_cast<std::uint8_t>(!entry.recorded ? 0 : entry.from_caller ? 2 : 1));
        out.put(entry.owner);
        // An unrecorded entry (kept only for its resting copies) has no value: zeros.
        Order value = entry.recorded ? Registry::value(entry) : Order{entry.id, {}, {}, 0, 0.0, 0};
        if (!entry.named) {
            value.id = (*names)[next_name++].id;
        }
        write_order(out, value);
    }
    for (const Side* side : {&bids_, &asks_}) {
        out.put(static_cast<std::uint64_t>(side->size()));
        for (const auto& [price, level] : *side) {
            out.put(price);
            out.put(static_cast<std::uint64_t>(levels_[level].count));
            for (std::uint32_t node = levels_[level].head; node != no_index; node = nodes_[node].next) {
                const RestingNode& resting = nodes_[node];
                out.put(number[resting.entry]);
                out.put(resting.quantity);
                out.put(resting.timestamp);
                out.put(resting.ref);
            }
        }
    }
    commit_names(*names);
    return state;
}

Result<OrderBook> OrderBook::restore(std::string_view state) {
    constexpr std::string_view what = "a book";
    ByteReader in(state);
    std::uint32_t version = 0;
    if (auto header = expect_state_header(in, StateKind::OrderBook, what, &version); !header) {
        return std::unexpected(std::move(header.error()));
    }
    const bool owned = version >= 2;  // a self-trade policy, and an owner per entry
    const auto tick_size = in.get<double>();
    const auto policy = owned ? in.get<std::uint8_t>() : std::optional<std::uint8_t>(0);
    const auto entry_count = in.get<std::uint64_t>();
    if (!entry_count) {
        return damaged(what, "the state ends early");
    }
    if (*policy >= self_trade_policies) {
        return damaged(what, "its self-trade policy " + std::to_string(*policy) + " is not 0, 1, 2 or 3");
    }
    const std::size_t entry_size = entry_bytes + (owned ? owner_bytes : 0);
    if (*entry_count > in.remaining() / entry_size) {
        return damaged(what, "it claims " + std::to_string(*entry_count) + " registry entries, more than its " +
                                 std::to_string(in.remaining()) + " remaining bytes hold");
    }
    const std::size_t entries_start = in.position();

    // First pass: check everything, build nothing.
    // Messages are made only when something is wrong.
    const auto entry_name = [](std::size_t i) { return "registry entry " + std::to_string(i); };
    IdsSeen ids(state, *entry_count);
    std::vector<bool> recorded(*entry_count);
    for (std::size_t i = 0; i < *entry_count; ++i) {
        const auto flag = in.get<std::uint8_t>();
        if (!flag || *flag > 2) {
            return damaged(what, entry_name(i) + " has a recorded flag that is not 0, 1 or 2");
        }
        recorded[i] = *flag != 0;
        if (owned && !in.get<std::uint32_t>()) {
            return damaged(what, "the state ends early");
        }
        const std::size_t id_at = in.position();
        // A recorded value is checked as an order; of an entry kept only for its resting
        // copies, just the id counts.
        auto value = recorded[i] ? read_order(in) : Result<Order>(decode_order(in).value_or(Order{}));
        if (!value) {
            return damaged(what, entry_name(i) + ": " + value.error().message);
        }
        const std::string_view id = state.substr(id_at, id_length);
        if (!recorded[i] && !is_order_id(id)) {
            return damaged(what, entry_name(i) + " has an id that is not a 36-character order id");
        }
        if (!ids.insert(id_at)) {
            return damaged(what, "the id " + std::string(id) + " is in the registry twice");
        }
    }
    std::vector<std::uint32_t> copies(*entry_count, 0);
    RefsSeen refs;
    std::size_t resting_total = 0;  // so that the pools are made once, at their sizes
    std::size_t level_total = 0;
    for (const OrderType side : {OrderType::Buy, OrderType::Sell}) {
        const char* name = side == OrderType::Buy ? "bid" : "ask";
        const auto level_count = in.get<std::uint64_t>();
        if (!level_count) {
            return damaged(what, "the state ends early");
        }
        if (*level_count > in.remaining() / (16 + copy_bytes)) {
            return damaged(what, "it claims " + std::to_string(*level_count) + " " + name +
                                     " levels, more than its remaining bytes hold");
        }
        level_total += *level_count;
        std::int64_t previous = 0;
        for (std::uint64_t l = 0; l < *level_count; ++l) {
            const auto price = in.get<std::int64_t>();
            const auto order_count = in.get<std::uint64_t>();
            if (!order_count) {
                return damaged(what, "the state ends early");
            }
            const auto where = [&] { return std::string(name) + " level " + std::to_string(l); };
            if (*price <= 0) {
                return damaged(what, where() + " has a price that is not positive");
            }
            if (l > 0 && *price <= previous) {
                return damaged(what, where() + " is out of order: its price is not above the previous level's");
            }
            if (*order_count == 0 || *order_count > in.remaining() / copy_bytes || *order_count >= 0xFFFF'FFFFu) {
                return damaged(what, where() + " claims " + std::to_string(*order_count) +
                                         " resting orders, which its remaining bytes do not hold");
            }
            resting_total += *order_count;
            for (std::uint64_t k = 0; k < *order_count; ++k) {
                const auto entry = in.get<std::uint32_t>();
                const auto quantity = in.get<double>();
                const auto timestamp = in.get<std::uint64_t>();
                const auto ref = in.get<std::uint64_t>();
                if (!ref) {
                    return damaged(what, "the state ends early");
                }
                const auto order = [&] { return "resting order " + std::to_string(k) + " of " + where(); };
                if (*entry >= *entry_count) {
                    return damaged(what, order() + " names registry entry " + std::to_string(*entry) + " of " +
                                             std::to_string(*entry_count));
                }
                if (!(*quantity > 0.0) || !std::isfinite(*quantity)) {
                    return damaged(what, order() + " does not have a positive finite quantity, as an open order has");
                }
                if (*ref != no_ref) {
                    if (!refs.insert(*ref)) {
                        return damaged(what, "the reference " + std::to_string(*ref) + " is given to two resting orders");
                    }
                }
                (void)timestamp;
                ++copies[*entry];
            }
            previous = *price;
        }
    }
    if (auto end = expect_end(in); !end) {
        return std::unexpected(std::move(end.error()));
    }
    for (std::size_t i = 0; i < *entry_count; ++i) {
        if (!recorded[i] && copies[i] == 0) {
            return damaged(what, "registry entry " + std::to_string(i) + " has neither a value nor resting orders");
        }
    }
    refs = RefsSeen{};

    // Second pass: build the book from the checked state; only running out of memory can stop it.
    OrderBook book(*tick_size);
    book.self_trade_ = static_cast<SelfTrade>(*policy);
    book.registry_.reserve(*entry_count);
    ByteReader again(state.substr(entries_start));
    std::vector<std::uint32_t> place(*entry_count);
    for (std::size_t i = 0; i < *entry_count; ++i) {
        const std::uint8_t flag = *again.get<std::uint8_t>();
        const std::uint32_t owner = owned ? *again.get<std::uint32_t>() : 0;
        const Order value = *decode_order(again);  // checked in the first pass
        Registry::Entry& entry = book.registry_.emplace(value.id);
        entry.owner = owner;
        if (recorded[i]) {
            Registry::record(entry, value);
            entry.from_caller = flag == 2;
        }
        place[i] = book.registry_.index_of(entry);
    }
    book.nodes_.reserve(resting_total);
    book.levels_.reserve(level_total);
    for (const OrderType side : {OrderType::Buy, OrderType::Sell}) {
        Side& levels = book.side_map(side);
        const std::uint64_t level_count = *again.get<std::uint64_t>();
        book.level_index_[index(side)].reserve(level_count);
        for (std::uint64_t l = 0; l < level_count; ++l) {
            const std::int64_t price = *again.get<std::int64_t>();
            const std::uint64_t order_count = *again.get<std::uint64_t>();
            const std::uint32_t level_index = book.levels_.take();
            levels.emplace_hint(levels.end(), price, level_index);
            book.level_index_[index(side)].insert(hash_number(static_cast<std::uint64_t>(price)), level_index);
            Level& level = book.levels_[level_index];
            level.price_in_ticks = price;
            level.side = side;
            level.quantity_known = false;
            book.side_total_known_[index(side)] = false;
            book.folded_below_[index(side)] = std::numeric_limits<std::int64_t>::min();
            for (std::uint64_t k = 0; k < order_count; ++k) {
                const std::uint32_t entry_place = place[*again.get<std::uint32_t>()];
                const double quantity = *again.get<double>();
                const std::uint64_t timestamp = *again.get<std::uint64_t>();
                const std::uint64_t ref = *again.get<std::uint64_t>();
                Registry::Entry& entry = book.registry_.at(entry_place);
                book.nodes_.reserve_one();
                const std::uint32_t node = book.nodes_.take(level.tail);
                book.nodes_[node] = RestingNode{quantity, timestamp, ref, entry_place, level_index, level.tail, no_index};
                (level.tail != no_index ? book.nodes_[level.tail].next : level.head) = node;
                level.tail = node;
                ++level.count;
                entry.located = ++entry.copies == 1;
                entry.node = node;
                if (ref != no_ref) {
                    book.refs_.reserve_one();
                    book.refs_.insert(hash_number(ref), node);
                }
            }
            book.resting_count_[index(side)] += order_count;
        }
    }
    return book;
}

}  // namespace varnholt
