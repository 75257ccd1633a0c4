// Reading an order id's text into its 128 bits, once, where an operation receives an id.
#include <cstring>

#include "text.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace varnholt {

// One table look-up per character and no branch but the last.
std::optional<OrderId> parse_id_by_table(std::string_view text) noexcept {
    // The value of a lowercase hex digit, 0x10 for a hyphen, 0x20 for anything else.
    static constexpr auto kind = [] {
        std::array<std::uint8_t, 256> table{};
        table.fill(0x20);
        for (unsigned i = 0; i < 10; ++i) {
            table['0' + i] = static_cast<std::uint8_t>(i);
        }
        for (unsigned i = 0; i < 6; ++i) {
            table['a' + i] = static_cast<std::uint8_t>(10 + i);
        }
        table['-'] = 0x10;
        return table;
    }();
    // Where each byte's two digits stand in the text.
    static constexpr std::array<std::uint8_t, 16> at = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
    if (text.size() != id_length) {
        return std::nullopt;
    }
    const auto digit = [&](std::size_t i) noexcept { return kind[static_cast<unsigned char>(text[i])]; };
    OrderId id;
    unsigned wrong = (digit(8) ^ 0x10u) | (digit(13) ^ 0x10u) | (digit(18) ^ 0x10u) | (digit(23) ^ 0x10u);
    for (std::size_t i = 0; i < 16; ++i) {
        const unsigned high = digit(at[i]);
        const unsigned low = digit(at[i] + 1u);
        wrong |= (high | low) & 0x30;
        id.bytes[i] = static_cast<std::uint8_t>((high << 4) | (low & 0x0F));
    }
    if (wrong != 0) {
        return std::nullopt;
    }
    return id;
}

#if defined(__SSE2__) || defined(_M_X64)

// The 32 digits checked and converted 16 at a time: get_order from Python ran 1,082 instructions
// per call with the look-up table below and 915 with this, cancel 1,015 and 853
// (bench/instructions.py).
std::optional<OrderId> OrderId::parse(std::string_view text) noexcept {
    if (text.size() != id_length) {
        return std::nullopt;
    }
    const char* t = text.data();
    if (t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') {
        return std::nullopt;
    }
    char digits[32];
    std::memcpy(digits, t, 8);
    std::memcpy(digits + 8, t + 9, 4);
    std::memcpy(digits + 12, t + 14, 4);
    std::memcpy(digits + 16, t + 19, 4);
    std::memcpy(digits + 20, t + 24, 12);
    // Signed byte compares: bytes from 0x80 up are negative and fail both ranges.
    const auto values = [](__m128i c, int& valid) noexcept {
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
        const __m128i letter =
            _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(c, _mm_set1_epi8('f' + 1)));
        valid &= _mm_movemask_epi8(_mm_or_si128(digit, letter));
        const __m128i value =
            _mm_sub_epi8(_mm_sub_epi8(c, _mm_set1_epi8('0')), _mm_and_si128(letter, _mm_set1_epi8('a' - '0' - 10)));
        // Each 16-bit lane holds a byte's two digits, high digit first: high << 4 | low.
        const __m128i high = _mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0x00FF)), 4);
        return _mm_or_si128(high, _mm_srli_epi16(value, 8));
    };
    int valid = 0xFFFF;
    const __m128i first = values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits)), valid);
    const __m128i second = values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 16)), valid);
    if (valid != 0xFFFF) {
        return std::nullopt;
    }
    OrderId id;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(id.bytes.data()), _mm_packus_epi16(first, second));
    return id;
}

#else

std::optional<OrderId> OrderId::parse(std::string_view text) noexcept { return parse_id_by_table(text); }

#endif

}  // namespace varnholt
