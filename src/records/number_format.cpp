#include "number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace varnholt {
namespace {

// The largest double in fixed form has 309 integer digits; add a sign, a point and the decimals.
constexpr std::size_t max_fixed_chars = 1 + 309 + 1 + 16;

bool append_non_finite(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

template <class... Format>
void append_chars(std::string& out, double value, Format... format) {
    std::array<char, max_fixed_chars> buffer;
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format...);
    // The buffer holds every finite double in fixed form, so to_chars cannot run out of room.
    (void)error;
    out.append(buffer.data(), end);
}

template <class Integer>
void append_integer_chars(std::string& out, Integer value) {
    std::array<char, 24> buffer;
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    (void)error;
    out.append(buffer.data(), end);
}

}  // namespace

void append_shortest(std::string& out, double value) {
    if (append_non_finite(out, value)) {
        return;
    }
    // The shortest round-trip digits come from to_chars in scientific form ("-1.2345678901234568e+20")
    // and are laid out positionally here. to_chars' own fixed form would print the exact value of
    // a large double (123456789012345683968) instead of its shortest digits (123456789012345680000).
    std::array<char, 32> buffer;
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific);
    (void)error;
    const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    const std::size_t e = text.find('e');
    std::size_t first = 0;
    if (text[0] == '-') {
        out += '-';
        first = 1;
    }
    std::string digits;
    for (char c : text.substr(first, e - first)) {
        if (c != '.') {
            digits += c;
        }
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    const auto count = static_cast<int>(digits.size());
    if (exponent >= count - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
    } else if (exponent >= 0) {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    }
}

void append_fixed(std::string& out, double value, int decimals) {
    if (!append_non_finite(out, value)) {
        append_chars(out, value, std::chars_format::fixed, decimals);
    }
}

void append_integer(std::string& out, std::int64_t value) { append_integer_chars(out, value); }
void append_integer(std::string& out, std::uint64_t value) { append_integer_chars(out, value); }

}  // namespace varnholt
