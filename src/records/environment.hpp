#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error.hpp"
#include "text.hpp"

namespace varnholt {

// The operating system's random source. Implementations fill the whole buffer or fail. Not
// noexcept: describing a failure allocates its message.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual Result<void> fill(std::span<std::byte> out) = 0;
};

// The wall clock, as nanoseconds since the Unix epoch.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual Result<std::uint64_t> now_ns() = 0;
};

// Draws from the OS: the getrandom(2) system call on Linux and getentropy(3) on macOS and the BSDs,
// each with /dev/urandom where the kernel lacks it, and BCryptGenRandom on Windows. A failure reads
// "could not retrieve random bytes for uuid: " followed by the system's description of the error.
class SystemRandomSource final : public RandomSource {
public:
    Result<void> fill(std::span<std::byte> out) override;
};

// CLOCK_REALTIME (GetSystemTimePreciseAsFileTime on Windows); a reading before the epoch fails with "Time went backwards...".
class SystemClock final : public WallClock {
public:
    Result<std::uint64_t> now_ns() override;
};

// Makes random version 4 UUIDs (RFC 9562) in their 36-character lowercase text form.
//
// One system call per id would cost more than the rest of an order, so random bytes are drawn
// from the source a pool at a time and handed out 16 bytes per id. Bytes are never reused: a
// failed refill leaves the pool empty, and discard() (called in a child after fork(), so that
// parent and child never hand out the same bytes) empties it too.
class IdGenerator {
public:
    static constexpr std::size_t pool_size = 4096;
    static constexpr std::size_t uuid_size = 16;

    explicit IdGenerator(RandomSource& source) noexcept : source_(source) {}

    Result<OrderId> next();
    void discard() noexcept { next_byte_ = pool_size; }

private:
    RandomSource& source_;
    std::array<std::byte, pool_size> pool_{};
    std::size_t next_byte_ = pool_size;
};

// The outside resources an operation may read. Tests build their own with failing parts.
struct Environment {
    IdGenerator& ids;
    WallClock& clock;
};

// The calling thread's environment: the OS random source, CLOCK_REALTIME and an id pool of the
// thread's own, so that books replaying in several threads at once (with the interpreter lock
// released) never share a pool. The forking thread's pool is discarded in the child of every
// fork(), so that parent and child never hand out the same ids; the child has no other threads.
// The first use on a thread allocates the pool.
Environment& system_environment();
// CLOCK_REALTIME alone, for operations that read the clock but draw no ids.
WallClock& system_wall_clock() noexcept;

// A secret drawn from the OS once per process, mixed into the book's hash functions so that
// nobody can choose prices or ids that all fall into one probe run.
std::uint64_t hash_seed() noexcept;

}  // namespace varnholt
