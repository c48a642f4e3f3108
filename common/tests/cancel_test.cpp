#include "common/cancel.hpp"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(CancelToken, ADefaultTokenNeverStopsAndARequestLatches) {
    EXPECT_FALSE(CancelToken().requested());

    int polls = 0;
    CancelToken token([&] { return ++polls == 2; });
    EXPECT_FALSE(token.requested());
    EXPECT_TRUE(token.requested());
    EXPECT_TRUE(token.requested());
    EXPECT_EQ(polls, 2);  // not asked again once it said stop
}

TEST(CancelToken, ASleepPollsAtLeastEveryIntervalAndEndsSoonAfterARequest) {
    const Clock::time_point start = Clock::now();
    int polls = 0;
    CancelToken token([&] { return ++polls > 3; });
    EXPECT_FALSE(sleep_for(10s, token));
    EXPECT_EQ(polls, 4);
    EXPECT_LT(Clock::now() - start, 5s);  // three short slices, not the ten seconds

    polls = 0;
    CancelToken never([&] { return ++polls < 0; });
    EXPECT_TRUE(sleep_for(50ms, never));
    // 50 ms in slices of at most 10 ms: a poll before every slice.
    EXPECT_GE(polls, 5);
}

}  // namespace
}  // namespace kestro
