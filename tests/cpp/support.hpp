#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "book/order_book.hpp"

#include "records/environment.hpp"
#include "records/order.hpp"

namespace varnholt::testing {

// A clock that ticks one nanosecond per read and can be made to fail from a given read on.
class FakeClock final : public WallClock {
public:
    Result<std::uint64_t> now_ns() override {
        ++reads;
        if (reads >= fail_from_read) {
            return internal_failure("Time went backwards: the wall clock reads before the Unix epoch");
        }
        return now++;
    }
    std::uint64_t now = 1'700'000'000'000'000'000;
    std::uint64_t reads = 0;
    std::uint64_t fail_from_read = std::numeric_limits<std::uint64_t>::max();
};

// A deterministic byte stream that counts its draws and can be made to fail.
class FakeRandom final : public RandomSource {
public:
    Result<void> fill(std::span<std::byte> out) override {
        ++draws;
        if (failing) {
            return internal_failure("could not retrieve random bytes for uuid: Function not implemented");
        }
        for (std::byte& b : out) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            b = static_cast<std::byte>(state >> 56);
        }
        return {};
    }
    std::uint64_t state = 42;
    int draws = 0;
    bool failing = false;
};

struct FakeEnvironment {
    FakeRandom random;
    FakeClock clock;
    IdGenerator ids{random};
    Environment environment{ids, clock};
};

inline Order make(FakeEnvironment& env, OrderType side, std::int64_t price, double quantity) {
    auto order = make_order(side, price, quantity, env.environment);
    return *order;  // tests only make valid orders here
}

// Everything a caller can see of the book, as text.
inline std::string observe(const OrderBook& book, const std::vector<std::string>& ids) {
    std::ostringstream out;
    out.precision(17);
    for (const OrderType side : {OrderType::Buy, OrderType::Sell}) {
        book.for_each_resting(side, [&](const Order& o) {
            out << o.id.view() << ' ' << int(o.side) << ' ' << o.price_in_ticks << ' ' << o.quantity << ' '
                << int(o.status) << ' ' << o.timestamp << '\n';
        });
        out << "--\n";
    }
    for (const std::string& id : ids) {
        if (auto o = book.get_order(id)) {
            out << id << " = " << int(o->side) << ' ' << o->price_in_ticks << ' ' << o->quantity << ' '
                << int(o->status) << ' ' << o->timestamp << '\n';
        }
    }
    out << book.summary() << '\n' << book.resting_count(OrderType::Buy) << ' ' << book.resting_count(OrderType::Sell)
        << ' ' << book.unnamed_count() << " without ids";
    return out.str();
}

// Events in replay's feed layout (42 packed bytes each), as a caller's array holds them.
inline std::vector<std::byte> feed_events(const std::vector<ReplayEvent>& events) {
    std::vector<std::byte> bytes(events.size() * feed_event_size);
    for (std::size_t i = 0; i < events.size(); ++i) {
        std::byte* at = bytes.data() + i * feed_event_size;
        const ReplayEvent& event = events[i];
        std::memcpy(at, &event.kind, 1);
        std::memcpy(at + 1, &event.side, 1);
        std::memcpy(at + 2, &event.price_in_ticks, 8);
        std::memcpy(at + 10, &event.quantity, 8);
        std::memcpy(at + 18, &event.ref, 8);
        std::memcpy(at + 26, &event.new_ref, 8);
        std::memcpy(at + 34, &event.timestamp, 8);
    }
    return bytes;
}

inline Result<void> replay_feed(OrderBook& book, Environment& environment, const std::vector<ReplayEvent>& events,
                                ReplayOutput& out) {
    const std::vector<std::byte> bytes = feed_events(events);
    return book.replay(bytes.data(), events.size(), EventLayout::Feed, ReplayOptions{}, environment, out);
}

}  // namespace varnholt::testing
