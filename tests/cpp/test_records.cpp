#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "records/fill.hpp"
#include "support.hpp"

namespace varnholt {
namespace {

using testing::FakeEnvironment;
using testing::make;

TEST(MakeOrder, ValidatesPriceBeforeQuantityAndDrawsNothingWhenRefused) {
    FakeEnvironment env;
    auto both_bad = make_order(OrderType::Buy, 0, 0.0, env.environment);
    ASSERT_FALSE(both_bad);
    EXPECT_EQ(both_bad.error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(both_bad.error().message, "price_in_ticks must be positive");
    auto negative_zero = make_order(OrderType::Buy, 1, -0.0, env.environment);
    ASSERT_FALSE(negative_zero);
    EXPECT_EQ(negative_zero.error().message, "quantity must be positive");
    EXPECT_EQ(env.random.draws, 0);
    EXPECT_EQ(env.clock.reads, 0u);
}

TEST(MakeOrder, FailingRandomSourceIsAnInternalFailure) {
    FakeEnvironment env;
    env.random.failing = true;
    auto order = make_order(OrderType::Sell, 5, 1.0, env.environment);
    ASSERT_FALSE(order);
    EXPECT_EQ(order.error().kind, ErrorKind::Internal);
    EXPECT_EQ(order.error().message.rfind("could not retrieve random bytes for uuid: ", 0), 0u);
    EXPECT_EQ(env.clock.reads, 0u);
    // A failed refill hands out nothing; a later success draws afresh.
    env.random.failing = false;
    EXPECT_TRUE(make_order(OrderType::Sell, 5, 1.0, env.environment));
    EXPECT_EQ(env.random.draws, 2);
}

TEST(MakeOrder, ClockBeforeTheEpochIsAnInternalFailure) {
    FakeEnvironment env;
    env.clock.fail_from_read = 1;
    auto order = make_order(OrderType::Buy, 5, 1.0, env.environment);
    ASSERT_FALSE(order);
    EXPECT_EQ(order.error().kind, ErrorKind::Internal);
    EXPECT_EQ(order.error().message.rfind("Time went backwards", 0), 0u);
}

TEST(SystemEnvironment, ClockReadsNanosecondsSinceTheEpoch) {
    auto now = system_environment().clock.now_ns();
    ASSERT_TRUE(now);
    EXPECT_GT(*now, 1'700'000'000'000'000'000ull);
}

// 8-4-4-4-12 lowercase hex digits, version 4, RFC variant.
bool is_uuid_v4(const std::string& text) {
    if (text.size() != 36 || text[14] != '4' || std::string_view("89ab").find(text[19]) == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f');
        if (hyphen ? text[i] != '-' : !hex) {
            return false;
        }
    }
    return true;
}

TEST(IdGenerator, MakesDistinctVersion4Ids) {
    std::set<std::string> seen;
    // More ids than one pool holds, so refills are crossed.
    for (int i = 0; i < 1000; ++i) {
        auto id = system_environment().ids.next();
        ASSERT_TRUE(id);
        const std::string text(id->view());
        EXPECT_TRUE(is_uuid_v4(text)) << text;
        EXPECT_TRUE(seen.insert(text).second);
    }
}

// Known random bytes give a known text: hex digits high nibble first, hyphens in place, and the
// version and variant bits set.
TEST(IdGenerator, WritesTheBytesAsLowercaseHexInTheUsualGroups) {
    class Counting final : public RandomSource {
    public:
        Result<void> fill(std::span<std::byte> out) override {
            for (std::size_t i = 0; i < out.size(); ++i) {
                out[i] = static_cast<std::byte>((i % 16) * 0x11 + i / 16);
            }
            return {};
        }
    } counting;
    IdGenerator ids(counting);
    EXPECT_EQ(ids.next()->view(), "00112233-4455-4677-8899-aabbccddeeff");
    EXPECT_EQ(ids.next()->view(), "01122334-4556-4778-899a-abbccddeef00");
}

// An id's text reads back into the same 128 bits, and every other text of its length, a character
// changed anywhere to one just outside a range the form allows, reads as no id.
TEST(OrderIdText, ParsesItsOwnTextAndNothingElse) {
    FakeEnvironment env;
    for (int i = 0; i < 200; ++i) {
        const OrderId id = *env.ids.next();
        const std::string text(id.text().view());
        ASSERT_EQ(OrderId::parse(text), id);
        ASSERT_EQ(parse_id_by_table(text), id);
        for (std::size_t at = 0; at < text.size(); ++at) {
            const bool hyphen = at == 8 || at == 13 || at == 18 || at == 23;
            const char others[] = {'/', ':', '`', 'g', 'A', 'F', '-', '0', '\x80', '\0'};
            for (const char other : others) {
                std::string changed = text;
                changed[at] = other;
                // Only a hyphen where one belongs and a digit where a digit belongs keep it an id.
                const bool still_an_id = hyphen ? other == '-' : other == '0';
                EXPECT_EQ(OrderId::parse(changed).has_value(), still_an_id) << changed;
                EXPECT_EQ(parse_id_by_table(changed), OrderId::parse(changed)) << changed;
            }
        }
        EXPECT_FALSE(OrderId::parse(text.substr(1)));
        EXPECT_FALSE(OrderId::parse(text + "0"));
    }
}

TEST(IdGenerator, DrawsOnePoolPerHundredsOfIdsAndDiscardsOnRequest) {
    FakeEnvironment env;
    for (std::size_t i = 0; i < IdGenerator::pool_size / IdGenerator::uuid_size; ++i) {
        ASSERT_TRUE(env.ids.next());
    }
    EXPECT_EQ(env.random.draws, 1);
    ASSERT_TRUE(env.ids.next());
    EXPECT_EQ(env.random.draws, 2);
    env.ids.discard();
    ASSERT_TRUE(env.ids.next());
    EXPECT_EQ(env.random.draws, 3);
}

TEST(Filling, TradesAtTheReceiversPriceWhicheverSideItIs) {
    FakeEnvironment env;
    Order buy = make(env, OrderType::Buy, 100, 10);
    Order sell = make(env, OrderType::Sell, 99, 4);
    auto resting_buy = fill(buy, sell, 0.01, env.clock);
    ASSERT_TRUE(resting_buy && *resting_buy);
    EXPECT_DOUBLE_EQ((*resting_buy)->price, 1.00);
    EXPECT_EQ((*resting_buy)->quantity, 4.0);
    EXPECT_EQ((*resting_buy)->buy_id.view(), buy.id.view());
    EXPECT_EQ((*resting_buy)->sell_id.view(), sell.id.view());
    EXPECT_EQ(buy.quantity, 6.0);
    EXPECT_EQ(buy.status, OrderStatus::Open);
    EXPECT_EQ(sell.quantity, 0.0);
    EXPECT_EQ(sell.status, OrderStatus::Filled);

    Order buy2 = make(env, OrderType::Buy, 100, 10);
    Order sell2 = make(env, OrderType::Sell, 99, 4);
    auto resting_sell = fill(sell2, buy2, 0.01, env.clock);
    ASSERT_TRUE(resting_sell && *resting_sell);
    EXPECT_DOUBLE_EQ((*resting_sell)->price, 0.99);
}

TEST(Filling, NanQuantityLosesToANumber) {
    FakeEnvironment env;
    Order buy = make(env, OrderType::Buy, 100, std::nan(""));
    Order sell = make(env, OrderType::Sell, 100, 3);
    auto result = fill(buy, sell, 0.01, env.clock);
    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->quantity, 3.0);
    EXPECT_TRUE(std::isnan(buy.quantity));
    EXPECT_EQ(buy.status, OrderStatus::Open);
    EXPECT_EQ(sell.status, OrderStatus::Filled);
}

TEST(Filling, NoMatchChangesNothingAndReadsNoClock) {
    FakeEnvironment env;
    Order buy = make(env, OrderType::Buy, 99, 1);
    Order sell = make(env, OrderType::Sell, 100, 1);
    const auto reads = env.clock.reads;
    auto result = fill(buy, sell, 0.01, env.clock);
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_EQ(env.clock.reads, reads);
    EXPECT_EQ(buy.quantity, 1.0);
}

TEST(Filling, ClockFailureLeavesBothOrdersUnchanged) {
    FakeEnvironment env;
    Order buy = make(env, OrderType::Buy, 100, 5);
    Order sell = make(env, OrderType::Sell, 100, 5);
    env.clock.fail_from_read = env.clock.reads + 1;
    auto result = fill(buy, sell, 0.01, env.clock);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message.rfind("Time went backwards", 0), 0u);
    EXPECT_EQ(buy.quantity, 5.0);
    EXPECT_EQ(sell.quantity, 5.0);
    EXPECT_EQ(buy.status, OrderStatus::Open);
    EXPECT_EQ(sell.status, OrderStatus::Open);
}

// Copies, moves and assignments between short and long texts keep each text whole and
// independent of its source (run under the sanitizers too).
TEST(Text, CopiesMovesAndAssignmentsKeepTextsIndependent) {
    const std::string at_limit(id_length, 'i');
    const std::string long_text(id_length + 1, 'x');
    const std::string longer(1000, 'y');
    for (const std::string& first : {std::string(), std::string("b1"), at_limit, long_text, longer}) {
        for (const std::string& second : {std::string("s"), at_limit, long_text, longer}) {
            Text a(first);
            Text b(second);
            Text copy = a;
            EXPECT_EQ(copy.view(), first);
            copy = b;
            EXPECT_EQ(copy.view(), second);
            EXPECT_EQ(a.view(), first);
            copy = copy;  // self-assignment
            EXPECT_EQ(copy.view(), second);
            Text moved = std::move(a);
            EXPECT_EQ(moved.view(), first);
            moved = std::move(b);
            EXPECT_EQ(moved.view(), second);
            EXPECT_EQ(copy.view(), second);
            // Moved-from texts are valid empty texts (a long one used to keep its size with no
            // pointer, and view() read past the inline characters).
            EXPECT_EQ(a.view(), "");
            EXPECT_EQ(b.view(), "");
        }
    }
}

}  // namespace
}  // namespace varnholt
