#include "common/deadline.hpp"

#include <thread>

#include <gtest/gtest.h>

namespace kestro {
namespace {

using namespace std::chrono_literals;

TEST(Deadline, LengthsAtTheEdgesSaturate) {
    // Already over: none, negative, and less than the microsecond a system call can take.
    for (std::chrono::nanoseconds length :
         {0ns, -5'000'000ns, 999ns, std::chrono::nanoseconds::min()}) {
        EXPECT_TRUE(Deadline(length).expired()) << length.count();
    }
    // Too long to add to the clock: never expires, and says so with a long rest.
    const Deadline never(std::chrono::nanoseconds::max());
    ASSERT_TRUE(never.remaining());
    EXPECT_GT(*never.remaining(), std::chrono::hours(24 * 365));
}

TEST(Deadline, RemainingShrinksWithTimeAndElapsedGrows) {
    const Deadline deadline(50ms);
    const auto first = deadline.remaining();
    ASSERT_TRUE(first);
    EXPECT_LE(*first, 50ms);
    std::this_thread::sleep_for(2ms);
    EXPECT_LT(*deadline.remaining(), *first);
    EXPECT_GE(deadline.elapsed(), 2ms);
}

}  // namespace
}  // namespace kestro
