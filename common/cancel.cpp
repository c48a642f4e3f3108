#include "common/cancel.hpp"

#include <algorithm>
#include <thread>

namespace kestro {

bool sleep_for(std::chrono::nanoseconds duration, const CancelToken& cancel) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (cancel.requested()) return false;
        const auto left = duration - (Clock::now() - start);
        if (left <= Clock::duration::zero()) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, CANCEL_POLL_INTERVAL));
    }
}

}  // namespace kestro
