#include "common/text.hpp"

#include <array>

#include <gtest/gtest.h>

namespace kestro::text {

TEST(Text, BracketedListsUseDecimalsAndCommaSpace) {
    std::array<std::uint8_t, 3> bytes{255, 0, 12};
    EXPECT_EQ(bracketed(bytes), "[255, 0, 12]");
    EXPECT_EQ(bracketed(std::span<const std::uint8_t>{}), "[]");
}

}  // namespace kestro::text
