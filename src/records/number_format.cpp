#include "number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>

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
    if (!append_non_finite(out, value)) {
        append_chars(out, value, std::chars_format::fixed);
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
