// The core alone, without Python: resting adds, cancels and sweeps.
#include <benchmark/benchmark.h>

#include <algorithm>
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
    OrderBook book(0.01);
    for (auto _ : state) {
        for (const Order& order : orders) {
            benchmark::DoNotOptimize(book.add(order, clock));
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
void time_cancels(benchmark::State& state, const std::vector<Order>& orders) {
    std::vector<OrderId> ids;
    for (const Order& order : orders) {
        ids.push_back(order.id);
    }
    std::shuffle(ids.begin(), ids.end(), std::mt19937_64(2));
    CountingClock clock;
    OrderBook book(0.01);
    for (auto _ : state) {
        state.PauseTiming();
        for (const Order& order : orders) {
            (void)book.add(order, clock);
        }
        state.ResumeTiming();
        for (const OrderId& id : ids) {
            benchmark::DoNotOptimize(book.cancel(id.view()));
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
    for (auto _ : state) {
        state.PauseTiming();
        auto book = std::make_unique<OrderBook>(0.01);
        for (const Order& order : asks) {
            (void)book->add(order, clock);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(book->add(*sweep, clock));
        state.PauseTiming();
        book.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(Sweep)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace varnholt

BENCHMARK_MAIN();
