// Saved states and copies of a book: round trips keep everything, and damaged states are refused
// or give a sound book, never a broken one.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "book/order_book.hpp"
#include "records/state.hpp"
#include "support.hpp"

namespace varnholt {
namespace {

using testing::FakeEnvironment;
using testing::make;
using testing::observe;

// A book after a random flow that uses every operation, with filled, cancelled, amended,
// update_order'ed and twice-added orders; `ids` collects every id it met.
OrderBook busy_book(FakeEnvironment& env, unsigned seed, int steps, std::vector<std::string>* ids = nullptr) {
    OrderBook book(0.25);
    std::mt19937_64 random(seed);
    std::vector<Order> known;
    for (int step = 0; step < steps; ++step) {
        const auto roll = random() % 12;
        const auto side = random() % 2 == 0 ? OrderType::Buy : OrderType::Sell;
        const auto price = static_cast<std::int64_t>(95 + random() % 11);
        if (roll < 6 || known.empty()) {
            known.push_back(make(env, side, price, 0.5 * double(1 + random() % 8)));
            EXPECT_TRUE(book.add(known.back(), env.environment));
        } else if (roll == 6) {
            EXPECT_TRUE(book.add(known[random() % known.size()], env.environment));
        } else if (roll < 9) {
            book.cancel(known[random() % known.size()].id.view());
        } else if (roll == 9) {
            EXPECT_TRUE(book.amend(known[random() % known.size()].id.view(), 0.5 * double(1 + random() % 8), price, env.environment));
        } else if (roll == 10) {
            Order moved = known[random() % known.size()];
            moved.price_in_ticks += 3;
            book.update_order(moved);
        } else {
            known.push_back(make(env, side, price, 2.0));
            EXPECT_TRUE(book.take(known.back(), random() % 2 == 0, env.environment));
        }
    }
    for (const Order& order : known) {
        if (ids != nullptr) {
            ids->emplace_back(order.id.view());
        }
    }
    return book;
}

TEST(Snapshot, RoundTripsKeepEverythingAndTheCopyIsIndependent) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        FakeEnvironment env;
        std::vector<std::string> ids;
        OrderBook book = busy_book(env, seed, 400, &ids);
        const std::string state = book.save_state(env.ids).value();
        const std::string seen = observe(book, ids);
        auto restored = OrderBook::restore(state);
        ASSERT_TRUE(restored) << restored.error().message;
        EXPECT_FALSE(restored->find_broken_invariant());
        EXPECT_TRUE(observe(*restored, ids) == seen);
        OrderBook copy = book.copy(env.ids).value();
        EXPECT_FALSE(copy.find_broken_invariant());
        EXPECT_TRUE(copy.save_state(env.ids).value() == state);
        EXPECT_TRUE(observe(copy, ids) == seen);
        // The same orders then go to all three: the same fills, and the original is untouched
        // by what happens to the others.
        FakeEnvironment later;
        for (int i = 0; i < 50; ++i) {
            const auto side = i % 2 == 0 ? OrderType::Buy : OrderType::Sell;
            const Order order = make(later, side, 95 + i % 11, 3.0);
            ids.emplace_back(order.id.view());
            auto a = restored->add(order, later.environment);
            auto b = copy.add(order, later.environment);
            ASSERT_TRUE(a && b);
            ASSERT_EQ(a->size(), b->size());
            for (std::size_t f = 0; f < a->size(); ++f) {
                EXPECT_EQ((*a)[f].buy_id.view(), (*b)[f].buy_id.view());
                EXPECT_EQ((*a)[f].quantity, (*b)[f].quantity);
            }
        }
        EXPECT_TRUE(observe(*restored, ids) == observe(copy, ids));
        EXPECT_TRUE(book.save_state(env.ids).value() == state);
        EXPECT_FALSE(copy.find_broken_invariant());
    }
}

// Every single-byte change and every truncation of a saved state is either refused or restores a
// book whose invariants hold.
TEST(Snapshot, DamagedStatesAreRefusedOrSound) {
    FakeEnvironment env;
    const std::string state = busy_book(env, 7, 60).save_state(env.ids).value();
    std::mt19937_64 random(3);
    int refused = 0;
    for (std::size_t i = 0; i < state.size(); ++i) {
        for (const unsigned change : {0x01u, 0x80u, 0xFFu, static_cast<unsigned>(random() % 255 + 1)}) {
            std::string damaged = state;
            damaged[i] = static_cast<char>(static_cast<unsigned char>(damaged[i]) ^ change);
            auto restored = OrderBook::restore(damaged);
            if (!restored) {
                ++refused;
                EXPECT_EQ(restored.error().kind, ErrorKind::InvalidValue);
                continue;
            }
            const auto broken = restored->find_broken_invariant();
            ASSERT_FALSE(broken) << "byte " << i << ": " << *broken;
        }
        auto truncated = OrderBook::restore(std::string_view(state).substr(0, i));
        ASSERT_FALSE(truncated) << "a state cut at byte " << i << " was accepted";
    }
    EXPECT_GT(refused, 0);
    EXPECT_FALSE(OrderBook::restore(state + '\0'));
}

TEST(Snapshot, RecordsRoundTrip) {
    FakeEnvironment env;
    Order order = make(env, OrderType::Sell, 42, 2.5);
    order.status = OrderStatus::Canceled;
    auto back = restore_order(save_state(order));
    ASSERT_TRUE(back);
    EXPECT_TRUE(save_state(*back) == save_state(order));
    const Fill fill{1.5, -0.0, Text(std::string(100, 'b')), Text("s\xc3\xa9"), 9};
    auto fill_back = restore_fill(save_state(fill));
    ASSERT_TRUE(fill_back);
    EXPECT_TRUE(save_state(*fill_back) == save_state(fill));
    EXPECT_FALSE(restore_fill(save_state(Fill{1, 1, Text("\xed\xa0\x80"), Text("s"), 0})));  // a surrogate
}

}  // namespace
}  // namespace varnholt
