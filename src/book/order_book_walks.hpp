#pragma once

// The walks over a side's resting orders in the listings' order (price, then queue), as templates
// over what they visit; included by order_book.hpp.
#include "order_book.hpp"

namespace varnholt {

template <class Iterator, class Visit, class LevelDone>
void OrderBook::walk_in_order(Iterator level, Iterator end, Visit&& visit, LevelDone&& level_done) const {
    constexpr std::size_t chains = 8;     // levels followed at once
    constexpr std::size_t gathered = 32;  // nodes gathered per level; the rest follows one by one
    std::uint32_t found[chains][gathered];
    std::uint32_t counts[chains];
    std::uint32_t cursors[chains];
    std::uint32_t walked[chains];  // the levels of the group
    while (level != end) {
        std::size_t group = 0;
        for (; group < chains && level != end; ++group, ++level) {
            walked[group] = level->second;
            cursors[group] = levels_[level->second].head;
            counts[group] = 0;
        }
        for (bool more = true; more;) {
            more = false;
            for (std::size_t k = 0; k < group; ++k) {
                if (cursors[k] != no_index && counts[k] < gathered) {
                    found[k][counts[k]++] = cursors[k];
                    cursors[k] = nodes_[cursors[k]].next;
                    more = true;
                }
            }
        }
        for (std::size_t k = 0; k < group; ++k) {
            for (std::uint32_t i = 0; i < counts[k]; ++i) {
                visit(found[k][i]);
            }
            for (std::uint32_t node = cursors[k]; node != no_index; node = nodes_[node].next) {
                visit(node);
            }
            level_done(walked[k]);
        }
    }
}

template <class Visit>
void OrderBook::for_each_resting(OrderType side, Visit&& visit) const {
    const Side& levels = side_map(side);
    walk_in_order(levels.begin(), levels.end(), [&](std::uint32_t node) { visit(order_of(node)); },
                  [](std::uint32_t) noexcept {});
}

}  // namespace varnholt
