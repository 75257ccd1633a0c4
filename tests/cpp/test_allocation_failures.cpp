// Running out of memory inside any operation of the book leaves the book exactly as it was.
//
// This binary replaces the global operator new with one that can be told to fail its k-th
// allocation. A scripted scenario (sweeps across several levels, emptied levels, rests on new and
// full levels, registry growth, cancels, listings, the summary) runs once for every k until it
// runs through without a failure; the step that meets the failure must leave the book's whole
// observable state as it was before that step, with every invariant intact, and the remaining
// steps must still work. The same is checked for a clock that fails at each fill of a sweep.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "book/order_book.hpp"
#include "records/fill.hpp"
#include "support.hpp"

namespace {

// Allocations left before one fails; negative while disarmed.
long allocations_left = -1;
bool failed = false;

void* allocate(std::size_t size, std::size_t alignment) {
    if (allocations_left >= 0 && allocations_left-- == 0) {
        failed = true;
        throw std::bad_alloc();
    }
    void* memory = nullptr;
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    memory = alignment <= alignof(std::max_align_t) ? std::malloc(size == 0 ? 1 : size)
                                                    : std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

namespace varnholt {
namespace {

using testing::FakeEnvironment;
using testing::make;
using testing::observe;

// Counting is paused while a test looks at the book.
struct Paused {
    long saved = allocations_left;
    Paused() noexcept { allocations_left = -1; }
    ~Paused() { allocations_left = saved; }
};

struct Fixture {
    FakeEnvironment env;
    OrderBook book{0.01};
    std::vector<Order> orders;  // every order the scenario made, by step
    std::vector<std::string> ids;
    bool checking = true;  // off for the steps that follow a failed one, whose results differ

    void expect(bool outcome, const char* what) const {
        if (checking && !outcome) {
            Paused paused;  // reporting a failure allocates
            ADD_FAILURE() << what;
        }
    }

    // One replayed event in the feed layout, which must be applied and make `fills` fills.
    struct FeedEvent {
        EventKind kind;
        std::uint8_t side;
        std::int64_t price_in_ticks;
        double quantity;
        std::uint64_t ref;
        std::uint64_t new_ref = no_ref;
    };
    void feed(const FeedEvent& event, std::uint32_t fills = 0) {
        ReplayOutput out;
        auto done = testing::replay_feed(
            book, env.environment,
            {{static_cast<std::uint8_t>(event.kind), event.side, event.price_in_ticks, event.quantity, event.ref,
              event.new_ref, 9}},
            out);
        if (checking && !(done && out.events[0].status == static_cast<std::uint8_t>(EventStatus::Applied) &&
                          out.events[0].fills == fills)) {
            Paused paused;
            ADD_FAILURE() << "event of kind " << int(event.kind) << ": "
                          << (done ? "status " + std::to_string(out.events[0].status) + ", reason " +
                                         std::to_string(out.events[0].reason) + ", " +
                                         std::to_string(out.events[0].fills) + " fills"
                                   : done.error().message);
        }
    }

    Order& order(OrderType side, std::int64_t price, double quantity) {
        orders.push_back(make(env, side, price, quantity));
        ids.emplace_back(orders.back().id.view());
        return orders.back();
    }
};

// The first line where two observations differ, both ways.
std::string first_difference(const std::string& before, const std::string& after) {
    std::istringstream a(before);
    std::istringstream b(after);
    std::string line_a;
    std::string line_b;
    while (true) {
        const bool more_a = static_cast<bool>(std::getline(a, line_a));
        const bool more_b = static_cast<bool>(std::getline(b, line_b));
        if (!more_a && !more_b) {
            return "none";
        }
        if (!more_a || !more_b || line_a != line_b) {
            return "before \"" + (more_a ? line_a : "") + "\", after \"" + (more_b ? line_b : "") + "\"";
        }
    }
}

using Step = std::function<void(Fixture&)>;

void add(Fixture& f, Order order) {
    auto result = f.book.add(order, f.env.environment);
    ASSERT_TRUE(result) << result.error().message;
}

// A book with asks on four levels (one crowded with eight copies, so that one more needs room)
// and bids on three, and about 190 registry entries, so that the registry's table grows soon.
void build(Fixture& f) {
    for (int i = 0; i < 8; ++i) {
        add(f, f.order(OrderType::Sell, 103, 1.0));
    }
    for (std::int64_t price : {100, 101, 102}) {
        add(f, f.order(OrderType::Sell, price, 2.0));
        add(f, f.order(OrderType::Sell, price, 0.5));
        add(f, f.order(OrderType::Buy, price - 10, 3.0));
    }
    for (int i = 0; i < 170; ++i) {
        Order filled = f.order(OrderType::Buy, 1, 1.0);
        filled.status = OrderStatus::Filled;
        f.book.update_order(filled);
    }
}

std::vector<Step> scenario() {
    return {
        // A buy sweeping 100 and 101 and part of 102; its remainder rests at a new bid level.
        [](Fixture& f) {
            Order& sweep = f.order(OrderType::Buy, 102, 6.0);
            auto fills = f.book.add(sweep, f.env.environment);
            f.expect(fills && fills->size() == 5u, "the sweep makes five fills");
        },
        // Rests: on the crowded level (its buffer must grow), on new levels of both sides.
        [](Fixture& f) { add(f, f.order(OrderType::Sell, 103, 1.0)); },
        [](Fixture& f) { add(f, f.order(OrderType::Sell, 110, 1.0)); },
        [](Fixture& f) { add(f, f.order(OrderType::Buy, 95, 1.0)); },
        // Two new ids recorded with update_order: the second one makes the registry's table grow.
        [](Fixture& f) { f.book.update_order(f.order(OrderType::Sell, 500, 1.0)); },
        [](Fixture& f) { f.book.update_order(f.order(OrderType::Sell, 500, 1.0)); },
        // The same order again at its level, then a cancel that takes both copies.
        [](Fixture& f) { add(f, f.orders[0]); },
        [](Fixture& f) { f.expect(f.book.cancel(f.ids[0]), "cancel of two copies"); },
        // Cancels of a lone copy that empties its level, of an unknown id, of a filled order.
        [](Fixture& f) { f.expect(f.book.cancel(f.ids[f.ids.size() - 4]), "cancel of a lone copy"); },
        [](Fixture& f) { f.expect(!f.book.cancel("00000000-0000-4000-8000-000000000000"), "unknown id"); },
        [](Fixture& f) { f.expect(f.book.cancel(f.ids[8]), "cancel of a filled order"); },
        // A sell sweeping the bids entirely, its remainder resting as the new best ask.
        [](Fixture& f) {
            auto fills = f.book.add(f.order(OrderType::Sell, 1, 20.0), f.env.environment);
            f.expect(fills && !fills->empty(), "the sell sweeps the bids");
        },
        // Immediate orders: an immediate-or-cancel taking part of the asks, a fill-or-kill that
        // cannot fill (nothing happens) and one that can.
        [](Fixture& f) {
            auto fills = f.book.take(f.order(OrderType::Buy, 103, 1.5), false, f.env.environment);
            f.expect(fills && fills->size() == 1, "the immediate order takes part of the best ask");
        },
        [](Fixture& f) {
            auto fills = f.book.take(f.order(OrderType::Buy, 103, 1000.0), true, f.env.environment);
            f.expect(fills && fills->empty(), "the fill-or-kill is killed");
        },
        [](Fixture& f) {
            auto fills = f.book.take(f.order(OrderType::Buy, 110, 1.0), true, f.env.environment);
            f.expect(fills && fills->size() == 1, "the fill-or-kill fills");
        },
        // Amendments: in place, to a higher quantity at the same price, and to a price that
        // crosses, so that it trades and rests at a new level.
        [](Fixture& f) { f.expect(f.book.amend(f.ids[3], 0.25, std::nullopt, f.env.environment).has_value(), "in place"); },
        [](Fixture& f) { f.expect(f.book.amend(f.ids[3], 4.0, std::nullopt, f.env.environment).has_value(), "higher"); },
        [](Fixture& f) { add(f, f.order(OrderType::Buy, 50, 30.0)); },
        [](Fixture& f) {
            auto fills = f.book.amend(f.ids.back(), std::nullopt, 103, f.env.environment);
            f.expect(fills && *fills && (*fills)->size() > 3, "the amended bid sweeps the asks and rests");
        },
        [](Fixture& f) { f.expect(f.book.forget_filled() > 0, "filled orders forgotten"); },
        // Reading: depth, a level's volume, a queue position.
        [](Fixture& f) {
            const auto [bids, asks] = f.book.depth(10);
            f.expect(bids.size() == 1 && asks.empty(), "depth: the amended bid alone");
            if (!bids.empty()) {
                f.expect(f.book.volume_at(OrderType::Buy, bids[0].price_in_ticks).orders == bids[0].orders, "volume_at");
            }
            f.expect(f.book.queue_position(f.ids.back()).has_value(), "a queue position");
        },
        // Reading: listings, the summary, look-ups, order creation.
        [](Fixture& f) {
            std::vector<Order> listed;
            f.book.for_each_resting(OrderType::Buy, [&](const Order& o) { listed.push_back(o); });
            f.expect(!listed.empty(), "bids are listed");
            f.expect(!f.book.summary().empty(), "a summary");
            f.expect(f.book.get_order(f.ids.back()).has_value(), "a look-up");
            f.expect(f.book.create_order(OrderType::Buy, 1.5, 2.0, f.env.environment).has_value(), "an order");
            f.expect(!f.book.create_order(OrderType::Buy, -1.0, 2.0, f.env.environment), "a refused order");
        },
        // The feed verbs of a replay, one event at a time: posts that cross the bid (a new level,
        // then its existing one), an execution behind the front and one of the front, a
        // reduction to nothing, a replacement that empties its level, and an add that still
        // matches in the crossed book.
        [](Fixture& f) { f.feed({EventKind::Post, 1, 40, 1.0, 1}); },
        [](Fixture& f) { f.feed({EventKind::Post, 1, 40, 2.0, 2}); },
        [](Fixture& f) { f.feed({EventKind::Post, 1, 40, 3.0, 3}); },
        [](Fixture& f) { f.feed({EventKind::Execute, 0, 0, 0.5, 2}, 1); },
        [](Fixture& f) { f.feed({EventKind::Execute, 0, 0, 1.0, 1}, 1); },
        [](Fixture& f) { f.feed({EventKind::Reduce, 0, 0, 3.0, 3}); },
        [](Fixture& f) { f.feed({EventKind::Replace, 0, 41, 2.5, 2, 4}); },
        [](Fixture& f) { f.feed({EventKind::Add, 0, 41, 1.0, 5}, 1); },
        // Adds on a new level and on its own, an amendment that moves its order, a cancel, by
        // reference (replay's one-event batches, each all or nothing).
        [](Fixture& f) { f.feed({EventKind::Add, 1, 200, 1.0, 12}); },
        [](Fixture& f) { f.feed({EventKind::Add, 1, 200, 1.0, 13}); },
        [](Fixture& f) { f.feed({EventKind::Add, 1, 201, 1.0, 14}); },
        [](Fixture& f) { f.feed({EventKind::Amend, 1, 205, 2.0, 12}); },
        [](Fixture& f) { f.feed({EventKind::Cancel, 0, 0, 0.0, 13}); },
        // Orders replay entered get their ids when asked: by a per-call order that trades with
        // one (its fill shows the id), by order_id, by a listing (name_resting of one side).
        // Posted bids at 300 cross the asks, which a per-call sell at 300 does not reach.
        [](Fixture& f) { f.feed({EventKind::Post, 0, 300, 1.0, 20}); },
        [](Fixture& f) { f.feed({EventKind::Post, 0, 300, 1.0, 21}); },
        [](Fixture& f) { f.feed({EventKind::Post, 1, 400, 1.0, 22}); },
        [](Fixture& f) {
            auto fills = f.book.add(f.order(OrderType::Sell, 300, 1.5), f.env.environment);
            f.expect(fills && fills->size() == 2, "a sell trades with two unnamed bids");
        },
        [](Fixture& f) { f.feed({EventKind::Post, 0, 300, 1.0, 23}); },
        [](Fixture& f) { f.expect(f.book.order_id(23, f.env.ids).has_value(), "order_id names an order"); },
        [](Fixture& f) { f.expect(f.book.name_resting(f.env.ids, OrderType::Sell).has_value(), "a side is named"); },
        // Own orders and the self-trade rule: an owned ask under a reference; an owned bid that
        // sweeps the asks, cancels that ask on the way and rests under its own reference; an
        // owned ask amended across that bid, where both lose the smaller quantity.
        // (A policy is set by a step of its own: it allocates nothing.)
        [](Fixture& f) { f.book.set_self_trade(SelfTrade::CancelResting); },
        [](Fixture& f) {
            Order ask = f.order(OrderType::Sell, 500, 2.0);
            ask.owner = 9;
            auto fills = f.book.add_as(ask, 40, f.env.environment);
            f.expect(fills && fills->empty() && f.book.order_id(40, f.env.ids).value_or(nullptr) != nullptr, "the owned ask rests");
        },
        [](Fixture& f) {
            Order bid = f.order(OrderType::Buy, 500, 1000.0);
            bid.owner = 9;
            auto fills = f.book.add_as(bid, 41, f.env.environment);
            f.expect(fills && f.book.order_id(40, f.env.ids).value_or(nullptr) == nullptr && f.book.order_id(41, f.env.ids).value_or(nullptr) != nullptr,
                     "the owned ask is cancelled and the bid rests");
        },
        [](Fixture& f) {
            Order ask = f.order(OrderType::Sell, 600, 1.0);
            ask.owner = 9;
            f.expect(f.book.add_as(ask, 42, f.env.environment).has_value(), "an owned ask above the bid");
        },
        [](Fixture& f) { f.book.set_self_trade(SelfTrade::Decrement); },
        [](Fixture& f) {
            auto fills = f.book.amend(f.ids.back(), std::nullopt, 500, f.env.environment);
            f.expect(fills && *fills && (*fills)->empty() && f.book.order_id(42, f.env.ids).value_or(nullptr) == nullptr,
                     "the amended ask and the bid are decremented, no fill");
        },
        // A copy and a saved state restored (both name every order first): the book they read
        // stays as it was, and what they make is the same book.
        [](Fixture& f) {
            auto copied = f.book.copy(f.env.ids);
            f.expect(copied.has_value(), "the book copies");
            if (copied) {
                Paused paused;
                f.expect(observe(*copied, f.ids) == observe(f.book, f.ids), "the copy is the same book");
                f.expect(!copied->find_broken_invariant(), "the copy is intact");
            }
        },
        [](Fixture& f) {
            auto restored = OrderBook::restore(f.book.save_state(f.env.ids).value());
            f.expect(restored.has_value(), "the saved state restores");
            if (restored) {
                Paused paused;
                f.expect(observe(*restored, f.ids) == observe(f.book, f.ids), "the restored book is the same");
                f.expect(!restored->find_broken_invariant(), "the restored book is intact");
            }
        },
    };
}

TEST(AllocationFailure, EveryStepOfTheScenarioIsAllOrNothing) {
    const auto steps = scenario();
    int failures = 0;
    for (long k = 0;; ++k) {
        Fixture f;
        build(f);
        failed = false;
        std::size_t failed_step = steps.size();
        std::string before;
        allocations_left = k;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            {
                Paused paused;
                before = observe(f.book, f.ids);
            }
            try {
                steps[i](f);
            } catch (const std::bad_alloc&) {
                failed_step = i;
                break;
            }
        }
        allocations_left = -1;
        if (!failed) {
            EXPECT_GT(failures, 20) << "the scenario allocates too little to test anything";
            break;
        }
        ++failures;
        ASSERT_LT(failed_step, steps.size()) << "allocation " << k << " failed outside the steps";
        const auto broken = f.book.find_broken_invariant();
        ASSERT_FALSE(broken) << "allocation " << k << ", step " << failed_step << ": " << *broken;
        const std::string after = observe(f.book, f.ids);
        ASSERT_TRUE(after == before) << "allocation " << k << " changed step " << failed_step << ": "
                                     << first_difference(before, after);
        // The book still works: the steps after the failed one run as usual.
        f.checking = false;
        for (std::size_t i = failed_step + 1; i < steps.size(); ++i) {
            steps[i](f);
        }
        ASSERT_FALSE(f.book.find_broken_invariant()) << "allocation " << k;
    }
}

// The clock fails at each fill of a sweep across three levels in turn: nothing changes at all,
// neither the resting orders nor the registry, and the same sweep then succeeds.
TEST(ClockFailure, MidSweepChangesNothing) {
    for (std::uint64_t failing_fill = 1; failing_fill <= 3; ++failing_fill) {
        Fixture f;
        for (std::int64_t price : {100, 101, 102}) {
            add(f, f.order(OrderType::Sell, price, 2.0));
        }
        Order sweep = f.order(OrderType::Buy, 102, 6.0);
        const std::string before = observe(f.book, f.ids);
        f.env.clock.fail_from_read = f.env.clock.reads + failing_fill;
        auto result = f.book.add(sweep, f.env.environment);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, ErrorKind::Internal);
        EXPECT_EQ(result.error().message.rfind("Time went backwards", 0), 0u);
        EXPECT_FALSE(f.book.find_broken_invariant());
        EXPECT_EQ(observe(f.book, f.ids), before);
        EXPECT_FALSE(f.book.get_order(sweep.id.view()));
        f.env.clock.fail_from_read = std::numeric_limits<std::uint64_t>::max();
        auto fills = f.book.add(sweep, f.env.environment);
        ASSERT_TRUE(fills);
        EXPECT_EQ(fills->size(), 3u);
    }
}

// Every query that names replayed orders draws all its ids before it gives any: with the random
// source failing, each one fails and changes nothing (not even which orders have ids), and
// afterwards gives each order one id for good.
TEST(RandomFailure, NamingChangesNothing) {
    using Query = std::function<bool(Fixture&)>;  // whether it succeeded
    const std::vector<std::pair<const char*, Query>> queries = {
        {"order_id", [](Fixture& f) { return f.book.order_id(2, f.env.ids).has_value(); }},
        {"a listing", [](Fixture& f) { return f.book.name_resting(f.env.ids, OrderType::Sell).has_value(); }},
        {"a copy", [](Fixture& f) { return f.book.copy(f.env.ids).has_value(); }},
        {"a saved state", [](Fixture& f) { return f.book.save_state(f.env.ids).has_value(); }},
        {"a per-call sweep",
         [](Fixture& f) { return f.book.add(f.orders[1], f.env.environment).has_value(); }},
        {"an amendment that sweeps",
         [](Fixture& f) { return f.book.amend(f.ids[0], std::nullopt, 101, f.env.environment).has_value(); }},
    };
    for (const auto& [what, query] : queries) {
        Fixture f;
        add(f, f.order(OrderType::Buy, 90, 1.0));  // named: the per-call amendment's order
        f.order(OrderType::Buy, 102, 2.5);          // the per-call sweep's, made before the source fails
        for (std::uint64_t ref = 1; ref <= 3; ++ref) {
            f.feed({EventKind::Add, 1, 99 + static_cast<std::int64_t>(ref), 1.0, ref});
        }
        const std::string before = observe(f.book, f.ids);
        EXPECT_EQ(f.book.unnamed_count(), 3u) << what;
        f.env.ids.discard();  // the next id is drawn from the source
        f.env.random.failing = true;
        EXPECT_FALSE(query(f)) << what;
        EXPECT_EQ(observe(f.book, f.ids), before) << what;
        EXPECT_FALSE(f.book.find_broken_invariant()) << what;
        f.env.random.failing = false;
        EXPECT_TRUE(query(f)) << what;
        EXPECT_FALSE(f.book.find_broken_invariant()) << what;
        EXPECT_LT(f.book.unnamed_count(), 3u) << what;
        // Asked again, an id is the one given.
        if (const auto id = f.book.order_id(3, f.env.ids); id && *id != nullptr) {
            const OrderId first = **id;
            EXPECT_EQ(**f.book.order_id(3, f.env.ids), first) << what;
            EXPECT_EQ(f.book.get_order(first.view().view())->price_in_ticks, 102) << what;
            EXPECT_EQ(f.book.copy(f.env.ids)->order_id(3, f.env.ids).value()->view().view(), first.view().view()) << what;
        }
    }
}

// A per-call sweep's fills show the ids of the replayed orders it trades with, which order_id
// gives afterwards for an order still resting; one filled away leaves no record (nobody had its
// id before the fill).
TEST(Naming, FillsShowTheIdsOrderIdGives) {
    Fixture f;
    f.feed({EventKind::Add, 1, 100, 1.0, 1});
    f.feed({EventKind::Add, 1, 100, 2.0, 2});
    auto fills = f.book.add(f.order(OrderType::Buy, 100, 2.0), f.env.environment);
    ASSERT_TRUE(fills);
    ASSERT_EQ(fills->size(), 2u);
    const auto id = f.book.order_id(2, f.env.ids);
    ASSERT_TRUE(id && *id != nullptr);
    EXPECT_EQ((*fills)[1].sell_id.view(), (*id)->view().view());
    EXPECT_EQ(f.book.get_order((*fills)[0].sell_id.view())->status, OrderStatus::Filled);
    EXPECT_EQ(f.book.unnamed_count(), 0u);
    // Replayed orders that fill away unnamed leave nothing behind.
    f.feed({EventKind::Add, 0, 90, 1.0, 3});
    f.feed({EventKind::Add, 1, 90, 1.0, 4}, 1);
    EXPECT_EQ(f.book.unnamed_count(), 0u);
    EXPECT_EQ(f.book.forget_filled(), 2u);  // the per-call order and the one it filled, not refs 3 and 4
    EXPECT_FALSE(f.book.find_broken_invariant());
}

}  // namespace
}  // namespace varnholt
