#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "book/registry.hpp"
#include "support.hpp"

namespace varnholt {
namespace {

// Random inserts and erases (which shift probe runs back and move dense entries) against a
// std::unordered_map, checking every key after every step of a growing and shrinking table.
TEST(Registry, AgreesWithAHashMapThroughGrowthAndDeletion) {
    testing::FakeEnvironment env;
    Registry registry;
    std::unordered_map<std::string, std::int64_t> expected;
    std::vector<OrderId> ids;
    std::mt19937_64 random(7);
    for (int step = 0; step < 4000; ++step) {
        const bool insert = ids.empty() || random() % 3 != 0 || step < 200;
        if (insert) {
            OrderId id = *env.ids.next();
            Registry::Entry& entry = registry.emplace(id);
            entry.price_in_ticks = step;
            entry.recorded = true;
            expected[std::string(id.view())] = step;
            ids.push_back(id);
        } else {
            const std::size_t victim = random() % ids.size();
            Registry::Entry* entry = registry.find(ids[victim].view());
            ASSERT_NE(entry, nullptr);
            if (step % 2 == 0) {
                // Another look-up in between: erase cannot use the victim's remembered slot.
                ASSERT_NE(registry.find(ids[random() % ids.size()].view()), nullptr);
            }
            registry.erase(*entry);
            expected.erase(std::string(ids[victim].view()));
            ids[victim] = ids.back();
            ids.pop_back();
        }
        if (step % 97 == 0 || step > 3900) {
            ASSERT_EQ(registry.size(), expected.size());
            for (const auto& [id, price] : expected) {
                const Registry::Entry* entry = registry.find(id);
                ASSERT_NE(entry, nullptr);
                EXPECT_EQ(entry->price_in_ticks, price);
            }
        }
    }
}

TEST(Registry, FindsOnlyExactIds) {
    testing::FakeEnvironment env;
    Registry registry;
    const OrderId id = *env.ids.next();
    registry.emplace(id);
    std::string upper(id.view());
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_NE(registry.find(id.view()), nullptr);
    EXPECT_EQ(registry.find(upper), nullptr);
    EXPECT_EQ(registry.find(" " + std::string(id.view())), nullptr);
    EXPECT_EQ(registry.find(""), nullptr);
    EXPECT_EQ(&registry.emplace(id), registry.find(id.view()));
}

}  // namespace
}  // namespace varnholt
