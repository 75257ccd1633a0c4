#include "environment.hpp"

#include <pthread.h>

#include <boost/uuid/entropy_error.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>

namespace varnholt {

Result<void> SystemRandomSource::fill(std::span<std::byte> out) noexcept {
    try {
        boost::uuids::detail::random_provider provider;
        provider.get_random_bytes(out.data(), out.size());
        return {};
    } catch (const boost::uuids::entropy_error& error) {
        return internal_failure("could not retrieve random bytes for uuid: " +
                                std::system_category().message(static_cast<int>(error.errcode())));
    } catch (const std::exception& error) {
        return internal_failure(std::string("could not retrieve random bytes for uuid: ") + error.what());
    }
}

Result<std::uint64_t> SystemClock::now_ns() noexcept {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) {
        return internal_failure("Time went backwards: the wall clock reads before the Unix epoch");
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

Result<OrderId> IdGenerator::next() noexcept {
    if (next_byte_ + uuid_size > pool_size) {
        next_byte_ = pool_size;
        if (auto filled = source_.fill(pool_); !filled) {
            return std::unexpected(std::move(filled.error()));
        }
        next_byte_ = 0;
    }
    boost::uuids::uuid uuid;
    std::memcpy(uuid.data, pool_.data() + next_byte_, uuid_size);
    next_byte_ += uuid_size;
    // Version 4 in the high nibble of byte 6, the RFC variant (binary 10) in the top bits of byte 8.
    uuid.data[6] = static_cast<std::uint8_t>((uuid.data[6] & 0x0F) | 0x40);
    uuid.data[8] = static_cast<std::uint8_t>((uuid.data[8] & 0x3F) | 0x80);

    // The 8-4-4-4-12 text form: byte i goes to text_offset[i], two lowercase hex digits each.
    static constexpr std::array<std::uint8_t, uuid_size> text_offset = {0,  2,  4,  6,  9,  11, 14, 16,
                                                                        19, 21, 24, 26, 28, 30, 32, 34};
    static constexpr auto digit_pairs = [] {
        std::array<std::array<char, 2>, 256> pairs{};
        constexpr char hex[] = "0123456789abcdef";
        for (std::size_t byte = 0; byte < pairs.size(); ++byte) {
            pairs[byte] = {hex[byte >> 4], hex[byte & 0x0F]};
        }
        return pairs;
    }();
    OrderId id;
    id.chars[8] = id.chars[13] = id.chars[18] = id.chars[23] = '-';
    for (std::size_t i = 0; i < uuid_size; ++i) {
        std::memcpy(id.chars.data() + text_offset[i], digit_pairs[uuid.data[i]].data(), 2);
    }
    return id;
}

namespace {

SystemRandomSource system_random_source;
SystemClock system_clock;
IdGenerator system_ids{system_random_source};
Environment system_env{system_ids, system_clock};

void discard_ids_in_child() noexcept { system_ids.discard(); }

// Registered once when the library is loaded.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, discard_ids_in_child);

}  // namespace

Environment& system_environment() noexcept {
    (void)fork_handler_registered;
    return system_env;
}

}  // namespace varnholt
