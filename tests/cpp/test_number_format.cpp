#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "records/number_format.hpp"

namespace varnholt {
namespace {

std::string shortest(double value) {
    std::string text;
    append_shortest(text, value);
    return text;
}

std::string fixed(double value, int decimals) {
    std::string text;
    append_fixed(text, value, decimals);
    return text;
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(ShortestForm, IsPositionalAndRoundTrips) {
    EXPECT_EQ(shortest(10.0), "10");
    EXPECT_EQ(shortest(2.5), "2.5");
    EXPECT_EQ(shortest(0.1), "0.1");
    EXPECT_EQ(shortest(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(shortest(1e21), "1000000000000000000000");
    EXPECT_EQ(shortest(1e-7), "0.0000001");
    EXPECT_EQ(shortest(57 * 0.01), "0.5700000000000001");
    EXPECT_EQ(shortest(10050 * 0.01), "100.5");
    EXPECT_EQ(shortest(1.2345678901234568e20), "123456789012345680000");  // not the exact ...683968
    EXPECT_EQ(shortest(9223372036854775808.0), "9223372036854776000");
    EXPECT_EQ(shortest(123.456e-10), "0.0000000123456");
    EXPECT_EQ(shortest(-5e-324).substr(0, 8), "-0.00000");
    EXPECT_EQ(shortest(0.0), "0");
}

TEST(ShortestForm, SignsAndNonFiniteValues) {
    EXPECT_EQ(shortest(-0.0), "-0");
    EXPECT_EQ(shortest(nan), "NaN");
    EXPECT_EQ(shortest(-nan), "NaN");
    EXPECT_EQ(shortest(inf), "inf");
    EXPECT_EQ(shortest(-inf), "-inf");
}

TEST(FixedForm, RoundsTheExactBinaryValueTiesToEven) {
    EXPECT_EQ(fixed(0.125, 2), "0.12");
    EXPECT_EQ(fixed(0.375, 2), "0.38");
    EXPECT_EQ(fixed(2.675, 2), "2.67");  // the double lies just below 2.675
    EXPECT_EQ(fixed(1.005, 2), "1.00");
    EXPECT_EQ(fixed(0.01, 4), "0.0100");
    EXPECT_EQ(fixed(1e21, 2), "1000000000000000000000.00");
    EXPECT_EQ(fixed(std::numeric_limits<double>::max(), 2).size(), 309u + 3u);
}

TEST(FixedForm, MinusSignWheneverTheSignBitIsSet) {
    EXPECT_EQ(fixed(-0.0, 2), "-0.00");
    EXPECT_EQ(fixed(-0.001, 2), "-0.00");
    EXPECT_EQ(fixed(nan, 2), "NaN");
    EXPECT_EQ(fixed(-inf, 4), "-inf");
}

TEST(IntegerForm, FullRange) {
    std::string text;
    append_integer(text, std::numeric_limits<std::int64_t>::min());
    text += ' ';
    append_integer(text, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(text, "-9223372036854775808 18446744073709551615");
}

}  // namespace
}  // namespace varnholt
