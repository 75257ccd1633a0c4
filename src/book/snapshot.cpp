// Copies and saved states of a book.
#include <bit>
#include <cmath>

#include "../records/state.hpp"
#include "order_book.hpp"

namespace varnholt {
namespace {

// Registry entry: the value's fields (as an order's) after a "recorded" flag (u8): 0 no value
// (an entry kept only for its resting copies), 1 a value the book recorded, 2 a value recorded by
// update_order (cancel treats the two apart).
constexpr std::size_t entry_bytes = 1 + id_length + 2 + 8 + 8 + 8;
// Resting copy: its entry's number in the state (u32), quantity (f64), timestamp (u64) and the
// caller's reference (u64, all ones for none).
constexpr std::size_t copy_bytes = 4 + 8 + 8 + 8;

// The ids of a state's registry, to find one that comes twice without an allocation per id:
// open addressing over where each id lies in the state.
class IdsSeen {
public:
    IdsSeen(std::string_view state, std::size_t count) : state_(state), slots_(std::bit_ceil(2 * count + 2), 0) {}

    // False when the same id was inserted before.
    bool insert(std::size_t id_at) {
        const std::string_view id = state_.substr(id_at, id_length);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = Registry::hash(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == 0) {
                slots_[i] = id_at + 1;
                return true;
            }
            if (state_.substr(slots_[i] - 1, id_length) == id) {
                return false;
            }
        }
    }

private:
    std::string_view state_;
    std::vector<std::size_t> slots_;  // where an id lies, plus one; 0 for a free slot
};

}  // namespace

OrderBook::OrderBook(const OrderBook& other, Copying)
    : tick_size_(other.tick_size_),
      registry_(other.registry_),
      bids_(other.bids_),
      asks_(other.asks_),
      refs_(other.refs_),
      resting_count_{other.resting_count_[0], other.resting_count_[1]} {
    // The copied maps hold copies of the levels in the same order: walk both in step, index the
    // new levels, and move each located copy's place over to its new level.
    for (const OrderType side : {OrderType::Buy, OrderType::Sell}) {
        auto original = other.side_map(side).begin();
        for (auto level = side_map(side).begin(); level != side_map(side).end(); ++level, ++original) {
            level_index_[index(side)].insert(level->first, level);
            for (std::size_t position = level->second.head; position < level->second.slots.size(); ++position) {
                const RestingOrder& slot = level->second.slots[position];
                Registry::Location& location = registry_.location(registry_.at(slot.entry));
                if (slot.order.is_open() && location.level == &original->second) {
                    location.level = &level->second;
                }
            }
        }
    }
}

std::string OrderBook::save_state() const {
    std::string state;
    const std::size_t copies = resting_count_[0] + resting_count_[1];
    state.reserve(5 + 8 + 8 + registry_.size() * entry_bytes + 16 + (bids_.size() + asks_.size()) * 16 +
                  copies * copy_bytes);
    ByteWriter out(state);
    write_state_header(out, StateKind::OrderBook);
    out.put(tick_size_);
    // Entries are numbered in the state as they come; free places are left out.
    std::vector<std::uint32_t> number(registry_.places().size(), 0);
    out.put(static_cast<std::uint64_t>(registry_.size()));
    std::uint32_t next = 0;
    for (std::uint32_t place = 0; place < registry_.places().size(); ++place) {
        const Registry::Entry& entry = registry_.places()[place];
        if (!entry.in_use) {
            continue;
        }
        number[place] = next++;
        out.put(static_cast<std::uint8_t>(!entry.recorded ? 0 : entry.from_caller ? 2 : 1));
        // An unrecorded entry (kept only for its resting copies) has no value: zeros.
        write_order(out, entry.recorded ? Registry::value(entry) : Order{entry.id, {}, {}, 0, 0.0, 0});
    }
    for (const Side* side : {&bids_, &asks_}) {
        out.put(static_cast<std::uint64_t>(side->size()));
        for (const auto& [price, level] : *side) {
            out.put(price);
            out.put(static_cast<std::uint64_t>(level.live));
            for (std::size_t position = level.head; position < level.slots.size(); ++position) {
                const RestingOrder& slot = level.slots[position];
                if (slot.order.is_open()) {
                    out.put(number[slot.entry]);
                    out.put(slot.order.quantity);
                    out.put(slot.order.timestamp);
                    out.put(slot.ref);
                }
            }
        }
    }
    return state;
}

Result<OrderBook> OrderBook::restore(std::string_view state) {
    constexpr std::string_view what = "a book";
    ByteReader in(state);
    if (auto header = expect_state_header(in, StateKind::OrderBook, what); !header) {
        return std::unexpected(std::move(header.error()));
    }
    const auto tick_size = in.get<double>();
    const auto entry_count = in.get<std::uint64_t>();
    if (!entry_count) {
        return damaged(what, "the state ends early");
    }
    if (*entry_count > in.remaining() / entry_bytes) {
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
    KeyIndex<bool> refs;
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
                    if (refs.find(static_cast<std::int64_t>(*ref)) != nullptr) {
                        return damaged(what, "the reference " + std::to_string(*ref) + " is given to two resting orders");
                    }
                    refs.insert(static_cast<std::int64_t>(*ref), true);
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
    refs = {};

    // Second pass: build the book from the checked state; only running out of memory can stop it.
    OrderBook book(*tick_size);
    book.registry_.reserve(*entry_count);
    ByteReader again(state.substr(entries_start));
    std::vector<std::uint32_t> place(*entry_count);
    for (std::size_t i = 0; i < *entry_count; ++i) {
        const std::uint8_t flag = *again.get<std::uint8_t>();
        const Order value = *decode_order(again);  // checked in the first pass
        Registry::Entry& entry = book.registry_.emplace(value.id);
        if (recorded[i]) {
            Registry::record(entry, value);
            entry.from_caller = flag == 2;
        }
        place[i] = book.registry_.index_of(entry);
    }
    for (const OrderType side : {OrderType::Buy, OrderType::Sell}) {
        Side& levels = book.side_map(side);
        const std::uint64_t level_count = *again.get<std::uint64_t>();
        for (std::uint64_t l = 0; l < level_count; ++l) {
            const std::int64_t price = *again.get<std::int64_t>();
            const std::uint64_t order_count = *again.get<std::uint64_t>();
            book.level_index_[index(side)].reserve_one();
            const auto created = levels.try_emplace(levels.end(), price);
            book.level_index_[index(side)].insert(price, created);
            Level& level = created->second;
            level.price_in_ticks = price;
            level.side = side;
            level.quantity_known = false;
            level.slots.reserve(order_count);
            for (std::uint64_t k = 0; k < order_count; ++k) {
                const std::uint32_t entry_place = place[*again.get<std::uint32_t>()];
                const double quantity = *again.get<double>();
                const std::uint64_t timestamp = *again.get<std::uint64_t>();
                const std::uint64_t ref = *again.get<std::uint64_t>();
                Registry::Entry& entry = book.registry_.at(entry_place);
                const auto position = static_cast<std::uint32_t>(level.slots.size());
                level.slots.push_back(RestingOrder{Order{entry.id, side, OrderStatus::Open, price, quantity, timestamp},
                                                   entry_place, ref});
                Registry::Location& location = book.registry_.location(entry);
                entry.located = ++location.copies == 1;
                location.level = &level;
                location.sequence = level.sequence_at(position);
                if (ref != no_ref) {
                    book.refs_.insert(static_cast<std::int64_t>(ref), entry_place);
                }
            }
            level.live = static_cast<std::uint32_t>(order_count);
            book.resting_count_[index(side)] += order_count;
        }
    }
    return book;
}

}  // namespace varnholt
