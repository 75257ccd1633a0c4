// The core alone, without Python: resting adds, cancels and sweeps.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "book/order_book.hpp"

namespace varnholt {
namespace {

// A clock that costs nothing, so the figures are the book's own.
class CountingClock final : public WallClock {
public:
    Result<std::uint64_t> now_ns() override { return ++now_; }

private:
    std::uint64_t now_ = 1'700'000'000'000'000'000;
};

std::vector<Order> make_orders(std::size_t count, OrderType side, std::int64_t first_price, std::int64_t levels) {
    std::vector<Order> orders;
    orders.reserve(count);
    std::mt19937_64 random(1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t offset = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(levels));
        auto order = make_order(side, side == OrderType::Buy ? first_price - offset : first_price + offset, 1.0,
                                system_environment());
        orders.push_back(*order);
    }
    return orders;
}

// Orders that rest without trading, over 100 price levels, on a book in steady state: each round
// adds `range(0)` orders (timed) and cancels them again (not timed), so capacity is warm.
void RestingAdd(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto orders = make_orders(count, OrderType::Buy, 10'000, 100);
    CountingClock clock;
    Environment environment{system_environment().ids, clock};
    OrderBook book(0.01);
    for (auto _ : state) {
        for (const Order& order : orders) {
            benchmark::DoNotOptimize(book.add(order, environment));
        }
        state.PauseTiming();
        for (const Order& order : orders) {
            book.cancel(order.id.view());
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(RestingAdd)->Arg(1'000)->Arg(20'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// Times cancels of all of `orders`, in random order, on a book in steady state: each round adds
// them (not timed) and cancels them again (timed).
// The ids' texts are made before the clock starts, as a caller holds them (a Python str).
void time_cancels(benchmark::State& state, const std::vector<Order>& orders) {
    std::vector<IdText> ids;
    for (const Order& order : orders) {
        ids.push_back(order.id.text());
    }
    std::shuffle(ids.begin(), ids.end(), std::mt19937_64(2));
    CountingClock clock;
    Environment environment{system_environment().ids, clock};
    OrderBook book(0.01);
    for (auto _ : state) {
        state.PauseTiming();
        for (const Order& order : orders) {
            (void)book.add(order, environment);
        }
        state.ResumeTiming();
        for (const IdText& id : ids) {
            benchmark::DoNotOptimize(book.cancel(id));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * orders.size()));
}

// Cancels of `range(0)` resting orders over 100 levels.
void Cancel(benchmark::State& state) {
    time_cancels(state, make_orders(static_cast<std::size_t>(state.range(0)), OrderType::Sell, 10'000, 100));
}
BENCHMARK(Cancel)->Arg(1'000)->Arg(20'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// Cancels of `range(0)` resting orders spread over 1000 levels a side, as in the Python
// benchmarks: level records no longer stay in cache.
void CancelWide(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    auto orders = make_orders(count / 2, OrderType::Buy, 9'999, 1'000);
    const auto asks = make_orders(count - count / 2, OrderType::Sell, 10'001, 1'000);
    orders.insert(orders.end(), asks.begin(), asks.end());
    std::shuffle(orders.begin(), orders.end(), std::mt19937_64(3));
    time_cancels(state, orders);
}
BENCHMARK(CancelWide)->Arg(20'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// One buy that sweeps every level of a book of `range(0)` asks over 1000 levels (per fill).
void Sweep(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto asks = make_orders(count, OrderType::Sell, 10'000, 1'000);
    auto sweep = make_order(OrderType::Buy, 20'000, static_cast<double>(count), system_environment());
    CountingClock clock;
    Environment environment{system_environment().ids, clock};
    for (auto _ : state) {
        state.PauseTiming();
        auto book = std::make_unique<OrderBook>(0.01);
        for (const Order& order : asks) {
            (void)book->add(order, environment);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(book->add(*sweep, environment));
        state.PauseTiming();
        book.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(Sweep)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// The listing of one side of a deep book (about 50,000 orders on 3,000 levels), per order:
// the book is made by adds, cancels of half of them at random and adds again, so that, as after
// any real flow, the orders' registry entries and nodes lie in no particular order.
void ListDeep(benchmark::State& state) {
    CountingClock clock;
    Environment environment{system_environment().ids, clock};
    OrderBook book(0.01);
    std::vector<Order> orders = make_orders(50'000, OrderType::Buy, 9'999, 3'000);
    const std::vector<Order> more = make_orders(25'000, OrderType::Buy, 9'999, 3'000);
    for (const Order& order : orders) {
        (void)book.add(order, environment);
    }
    std::shuffle(orders.begin(), orders.end(), std::mt19937_64(5));
    for (std::size_t i = 0; i < orders.size() / 2; ++i) {
        book.cancel(orders[i].id.text());
    }
    for (const Order& order : more) {
        (void)book.add(order, environment);
    }
    std::vector<Order> listed;
    // Between listings the caller does other work (in Python, making and freeing the list's
    // objects): 4 MB written between two listings leave the book in the last-level cache only.
    std::vector<std::uint64_t> elsewhere(1 << 19);
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < elsewhere.size(); i += 8) {
            elsewhere[i] += i;
        }
        benchmark::DoNotOptimize(elsewhere.data());
        state.ResumeTiming();
        listed.clear();
        book.for_each_resting(OrderType::Buy, [&](const Order& order) { listed.push_back(order); });
        benchmark::DoNotOptimize(listed.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * listed.size()));
}
BENCHMARK(ListDeep)->Unit(benchmark::kMicrosecond);

// A replay of a typical flow (about half new orders near the touch, 45 % cancels of resting
// orders, 1 % immediate orders taking a few; a book of about 1200 orders), per event. With
// range(0) = 1 the orders get their ids and times from the system, as from Python; with 0 from a
// counter, to show what the core itself costs.
class CountingRandom final : public RandomSource {
public:
    Result<void> fill(std::span<std::byte> out) override {
        // A 64-bit counter through splitmix64: every id differs, as the system's do (a byte
        // counter repeated its ids every 16 orders, which put many copies under one id).
        for (std::byte& b : out) {
            if (left_ == 0) {
                std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
                word_ = z ^ (z >> 31);
                left_ = 8;
            }
            b = static_cast<std::byte>(word_);
            word_ >>= 8;
            --left_;
        }
        return {};
    }

private:
    std::uint64_t state_ = 0;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

std::vector<std::byte> typical_events(std::size_t count) {
    std::mt19937_64 random(4);
    std::vector<std::byte> bytes(count * replay_event_size);
    std::vector<std::uint64_t> live;
    std::uint64_t next_ref = 0;
    for (std::size_t i = 0; i < count; ++i) {
        ReplayEvent event{0, static_cast<std::uint8_t>(random() % 2), 0, 1.0, 0, 0, 0};
        const auto roll = random() % 100;
        if (roll < 1) {
            event.kind = static_cast<std::uint8_t>(EventKind::ImmediateOrCancel);
            event.price_in_ticks = event.side == 0 ? 10'010 : 9'990;
            event.quantity = 3.0;
            event.ref = ~std::uint64_t{1};
        } else if (roll < 55 || live.size() < 1'000) {
            const auto distance = static_cast<std::int64_t>(random() % 8);
            event.price_in_ticks = event.side == 0 ? 9'999 - distance : 10'001 + distance;
            event.quantity = static_cast<double>(1 + random() % 10);
            event.ref = next_ref++;
            live.push_back(event.ref);
        } else {
            const std::size_t victim = random() % live.size();
            event.kind = static_cast<std::uint8_t>(EventKind::Cancel);
            event.ref = live[victim];
            live[victim] = live.back();
            live.pop_back();
        }
        std::byte* at = bytes.data() + i * replay_event_size;
        std::memcpy(at, &event.kind, 1);
        std::memcpy(at + 1, &event.side, 1);
        std::memcpy(at + 2, &event.price_in_ticks, 8);
        std::memcpy(at + 10, &event.quantity, 8);
        std::memcpy(at + 18, &event.ref, 8);
    }
    return bytes;
}

// Ids and times from counters, so that the figures are the book's own.
struct CountedEnvironment {
    CountingRandom random;
    CountingClock clock;
    IdGenerator ids{random};
    Environment environment{ids, clock};
};

// Times replays of `count` packed events, each into a new book (made and destroyed untimed).
void time_replays(benchmark::State& state, const std::vector<std::byte>& events, std::size_t count,
                  Environment& environment) {
    for (auto _ : state) {
        state.PauseTiming();
        auto book = std::make_unique<OrderBook>(0.01);
        ReplayOutput out;
        state.ResumeTiming();
        benchmark::DoNotOptimize(book->replay(events.data(), count, EventLayout::Order, {}, environment, out));
        state.PauseTiming();
        book.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

void ReplayTypical(benchmark::State& state) {
    constexpr std::size_t count = 200'000;
    const auto events = typical_events(count);
    CountedEnvironment counted;
    time_replays(state, events, count, state.range(0) == 1 ? system_environment() : counted.environment);
}
BENCHMARK(ReplayTypical)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The public matching-engine benchmarks' kind of workload, natively: 10^6 events over a book held
// near 50 000 resting orders on some 40 levels a side: 50 % new orders (one in a hundred
// crossing), 30 % cancels and 20 % modifications (half lower the quantity in place, half move the
// order to another price) of random resting orders, all through replay() with ids and times from
// counters.
std::vector<std::byte> add_cancel_modify_events(std::size_t count) {
    struct Live {
        std::uint64_t ref;
        std::uint8_t side;
        std::int64_t price;
        double quantity;
    };
    std::mt19937_64 random(5);
    std::vector<std::byte> bytes(count * replay_event_size);
    std::vector<Live> live;
    std::uint64_t next_ref = 0;
    const auto put = [&](std::size_t i, EventKind kind, const Live& order) {
        std::byte* at = bytes.data() + i * replay_event_size;
        const auto kind_byte = static_cast<std::uint8_t>(kind);
        std::memcpy(at, &kind_byte, 1);
        std::memcpy(at + 1, &order.side, 1);
        std::memcpy(at + 2, &order.price, 8);
        std::memcpy(at + 10, &order.quantity, 8);
        std::memcpy(at + 18, &order.ref, 8);
    };
    const auto price_near_touch = [&](std::uint8_t side) {
        const auto distance = static_cast<std::int64_t>(random() % 40);
        return side == 0 ? 9'999 - distance : std::int64_t{10'001} + distance;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const auto roll = random() % 100;
        if (roll < 50 || live.size() < 50'000) {
            const auto side = static_cast<std::uint8_t>(random() % 2);
            Live order{next_ref++, side, price_near_touch(side), static_cast<double>(1 + random() % 10)};
            if (roll == 0) {
                order.price = side == 0 ? 10'003 : 9'997;  // one new order in a hundred crosses
            }
            put(i, EventKind::Add, order);
            live.push_back(order);
            continue;
        }
        const std::size_t victim = random() % live.size();
        Live& order = live[victim];
        if (roll < 80) {
            put(i, EventKind::Cancel, order);
            order = live.back();
            live.pop_back();
        } else if (roll < 90) {
            order.quantity = order.quantity > 1.0 ? order.quantity - 1.0 : order.quantity;
            put(i, EventKind::Amend, order);  // the same price, no more quantity: in place
        } else {
            order.price = price_near_touch(order.side);
            put(i, EventKind::Amend, order);  // to the back of another level
        }
        // An order that has traded away since is reported as an unknown reference, not applied.
    }
    return bytes;
}

void ReplayAddCancelModify(benchmark::State& state) {
    constexpr std::size_t count = 1'000'000;
    const auto events = add_cancel_modify_events(count);
    CountedEnvironment counted;
    time_replays(state, events, count, counted.environment);
}
BENCHMARK(ReplayAddCancelModify)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnholt

BENCHMARK_MAIN();
