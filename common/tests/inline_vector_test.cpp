// The fixed-capacity vector: the parts that differ from std::vector, where a fault would
// corrupt a packet (copies of the used part only, value-initialised growth) or overrun it.
#include "common/inline_vector.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestro {
namespace {

using Bytes = InlineVector<std::uint8_t, 4>;

TEST(InlineVector, BuildsCopiesAndComparesOnlyTheElementsInUse) {
    Bytes bytes{1, 2};
    bytes.push_back(3);
    bytes.resize(4);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3, 0})) << "growth is value-initialised";

    Bytes copy = bytes;
    copy.resize(2);
    copy.resize(3);
    EXPECT_EQ(copy, (std::vector<std::uint8_t>{1, 2, 0})) << "a regrown element is cleared again";
    EXPECT_EQ(bytes.size(), 4U) << "the copy is independent";

    copy = Bytes(bytes.begin() + 1, bytes.end());
    EXPECT_EQ(copy, (Bytes{2, 3, 0}));
    EXPECT_NE(copy, (Bytes{2, 3}));
    EXPECT_NE(copy, (std::vector<std::uint8_t>{2, 3, 1}));
    copy.clear();
    EXPECT_TRUE(copy.empty());
}

// A large vector copies only its elements in use, a small one whole: both must come out equal.
TEST(InlineVector, LargeAndSmallOnesCopyTheirValues) {
    InlineVector<double, 300> large{0.5, 1.5};
    const InlineVector<double, 300> copy = large;
    large.push_back(2.5);
    EXPECT_EQ(copy, (std::vector<double>{0.5, 1.5}));
    InlineVector<double, 300> assigned{9.0, 9.0, 9.0, 9.0};
    assigned = large;
    EXPECT_EQ(assigned, large);
    static_assert(!InlineVector<double, 300>::COPIES_WHOLE && Bytes::COPIES_WHOLE);
}

TEST(InlineVectorDeathTest, GoingPastTheCapacityStopsTheProgram) {
    Bytes full{1, 2, 3, 4};
    EXPECT_DEATH(full.push_back(5), "more elements than its fixed capacity");
    EXPECT_DEATH(full.resize(5), "more elements than its fixed capacity");
    EXPECT_DEATH((Bytes{1, 2, 3, 4, 5}), "more elements than its fixed capacity");
}

}  // namespace
}  // namespace kestro
