#include "environment.hpp"

#include <pthread.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <boost/uuid/entropy_error.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>

namespace varnholt {

namespace {

// The 8-4-4-4-12 text form in lowercase hex.
OrderId format_uuid(const std::uint8_t* bytes) noexcept {
    char hex[2 * IdGenerator::uuid_size];
#if defined(__SSE2__)
    // Both nibbles of all 16 bytes at once: split, interleave high before low, then map 0-9 to
    // '0'-'9' and 10-15 to 'a'-'f'.
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i low = _mm_and_si128(raw, nibble);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(raw, 4), nibble);
    const auto to_text = [](__m128i digits) noexcept {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(digits, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(digits, _mm_set1_epi8('0')), letters);
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex), to_text(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 16), to_text(_mm_unpackhi_epi8(high, low)));
#else
    constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < IdGenerator::uuid_size; ++i) {
        hex[2 * i] = digits[bytes[i] >> 4];
        hex[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
#endif
    OrderId id;
    char* text = id.chars.data();
    std::memcpy(text, hex, 8);
    text[8] = '-';
    std::memcpy(text + 9, hex + 8, 4);
    text[13] = '-';
    std::memcpy(text + 14, hex + 12, 4);
    text[18] = '-';
    std::memcpy(text + 19, hex + 16, 4);
    text[23] = '-';
    std::memcpy(text + 24, hex + 20, 12);
    return id;
}

}  // namespace

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

    return format_uuid(uuid.data);
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
