#pragma once

#include <cstdint>
#include <string>

namespace varnholt {

// Text forms of numbers shared by the records and the book summary. Non-finite values print as
// "NaN" (never signed), "inf" and "-inf"; otherwise a minus sign appears whenever the sign bit is
// set, so -0.0 prints as "-0" and "-0.00".

// The fewest significant digits that read back as the same double, positional, never an
// exponent: 10.0 -> "10", 1e21 -> "1000000000000000000000", 1e-7 -> "0.0000001".
void append_shortest(std::string& out, double value);

// The exact binary value rounded to `decimals` digits, ties to even: 0.125 -> "0.12",
// 0.375 -> "0.38", and 1.005 -> "1.00" because its double lies just below 1.005.
void append_fixed(std::string& out, double value, int decimals);

void append_integer(std::string& out, std::int64_t value);
void append_integer(std::string& out, std::uint64_t value);

}  // namespace varnholt
