// Ids given when asked: orders that replay enters have none until someone asks for one
// (order_id, a listing, a copy or saved state, a per-call fill), and the plan and commit of
// giving them: every id is drawn before any is given.
#include "order_book.hpp"

namespace varnholt {

Result<const OrderId*> OrderBook::order_id(std::uint64_t ref, IdGenerator& ids) {
    const std::uint32_t node = node_under(ref);
    if (node == no_index) {
        return nullptr;
    }
    Registry::Entry& entry = registry_.at(nodes_[node].entry);
    if (!entry.named) {
        auto id = ids.next();
        if (!id) {
            return std::unexpected(std::move(id.error()));
        }
        registry_.reserve_names(1);
        registry_.name(entry, *id);
    }
    return &entry.id;
}

Result<void> OrderBook::name_resting(IdGenerator& ids, std::optional<OrderType> side) {
    auto names = draw_names(ids, side);
    if (!names) {
        return std::unexpected(std::move(names.error()));
    }
    commit_names(*names);
    return {};
}

Result<std::vector<Naming>> OrderBook::draw_names(IdGenerator& ids, std::optional<OrderType> side) {
    std::vector<Naming> names;
    if (registry_.unnamed() == 0) {
        return names;
    }
    for (const OrderType each : {OrderType::Buy, OrderType::Sell}) {
        if (side && *side != each) {
            continue;
        }
        for (const auto& [price, level] : side_map(each)) {
            for (std::uint32_t node = levels_[level].head; node != no_index; node = nodes_[node].next) {
                if (!registry_.at(nodes_[node].entry).named) {
                    auto id = ids.next();
                    if (!id) {
                        return std::unexpected(std::move(id.error()));
                    }
                    names.push_back(Naming{nodes_[node].entry, *id});
                }
            }
        }
    }
    registry_.reserve_names(names.size());
    return names;
}

void OrderBook::commit_names(const std::vector<Naming>& names) noexcept {
    for (const Naming& naming : names) {
        registry_.name(registry_.at(naming.entry), naming.id);
    }
}

void OrderBook::drop_if_unnamed(Registry::Entry& entry) noexcept {
    if (!entry.named && entry.copies == 0) {
        registry_.erase(entry);
    }
}

}  // namespace varnholt
