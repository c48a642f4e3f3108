#include "common/text.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace kestro::text {

using namespace std::chrono_literals;

TEST(Text, ShortestRoundTripKeepsAFractionAndSwitchesToExponentAtTheEdges) {
    EXPECT_EQ(shortest(0.0), "0.0");
    EXPECT_EQ(shortest(-0.0), "-0.0");
    EXPECT_EQ(shortest(1.0), "1.0");
    EXPECT_EQ(shortest(-0.25), "-0.25");
    EXPECT_EQ(shortest(-6.283185307179586), "-6.283185307179586");
    EXPECT_EQ(shortest(0.1), "0.1");
    EXPECT_EQ(shortest(1e-4), "0.0001");
    EXPECT_EQ(shortest(1e-5), "1e-5");
    EXPECT_EQ(shortest(-1.5e-7), "-1.5e-7");
    EXPECT_EQ(shortest(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(shortest(1e16), "1e16");
    EXPECT_EQ(shortest(1.5e300), "1.5e300");
    EXPECT_EQ(shortest(std::nan("")), "NaN");
    EXPECT_EQ(shortest(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(Text, FixedDecimalsRoundToNearestAndSignedFormShowsTheSign) {
    EXPECT_EQ(fixed(0.7, 4), "0.7000");
    EXPECT_EQ(fixed(-0.5, 4), "-0.5000");
    EXPECT_EQ(fixed(8.7, 1), "8.7");
    EXPECT_EQ(fixed(0.0, 2), "0.00");
    EXPECT_EQ(fixed(0.99996, 4), "1.0000");
    EXPECT_EQ(fixed(std::nan(""), 2), "NaN");
    EXPECT_EQ(signed_fixed(0.0012, 4), "+0.0012");
    EXPECT_EQ(signed_fixed(-0.31, 4), "-0.3100");
    EXPECT_EQ(signed_fixed(0.0, 4), "+0.0000");
    EXPECT_EQ(signed_fixed(-0.0, 4), "-0.0000");
}

TEST(Text, QuotedEscapesQuoteAndBackslashOnly) {
    EXPECT_EQ(quoted("nose_top"), "\"nose_top\"");
    EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
}

TEST(Text, DurationsUseTheLargestWholeUnitWithoutTrailingZeros) {
    EXPECT_EQ(duration(30s), "30s");
    EXPECT_EQ(duration(1500ms), "1.5s");
    EXPECT_EQ(duration(1s + 1ns), "1.000000001s");
    EXPECT_EQ(duration(250ms), "250ms");
    EXPECT_EQ(duration(37'250us), "37.25ms");
    EXPECT_EQ(duration(100us), "100µs");
    EXPECT_EQ(duration(999ns), "999ns");
    EXPECT_EQ(duration(0ns), "0ns");
}

TEST(Text, BracketedListsRenderEachItemBetweenCommaSpace) {
    std::array<std::uint8_t, 3> bytes{255, 0, 12};
    EXPECT_EQ(bracketed(bytes), "[255, 0, 12]");
    EXPECT_EQ(bracketed(std::span<const std::uint8_t>{}), "[]");
    std::vector<bool> settled{true, false, true};
    EXPECT_EQ(bracketed(settled, boolean), "[true, false, true]");
    std::vector<double> offsets{0.0012, -0.31};
    EXPECT_EQ(bracketed(offsets, [](double v) { return signed_fixed(v, 4); }),
              "[+0.0012, -0.3100]");
}

}  // namespace kestro::text
