#include "sim/wire/wait_until.hpp"

#include <poll.h>
#include <time.h>

#include <thread>

namespace kestro::sim::wire {
namespace {

constexpr std::chrono::microseconds SPIN{60};

bool stopped(int stop_fd) {
    if (stop_fd < 0) return false;
    pollfd wake{stop_fd, POLLIN, 0};
    return ::poll(&wake, 1, 0) > 0;
}

}  // namespace

bool wait_until(Clock::time_point deadline, int stop_fd) {
    using namespace std::chrono;
    for (;;) {
        if (stopped(stop_fd)) return false;
        const auto left = deadline - Clock::now();
        if (left <= nanoseconds::zero()) return true;
        if (left <= SPIN) {
            std::this_thread::yield();
            continue;
        }
        // Sleeps at most 10 ms at a time, so that a stop is seen soon.
        const auto nap = std::min<nanoseconds>(left - SPIN, milliseconds(10));
        if (stop_fd >= 0) {
            const timespec limit{0, static_cast<long>(nap.count())};
            pollfd wake{stop_fd, POLLIN, 0};
            if (::ppoll(&wake, 1, &limit, nullptr) > 0) return false;
        } else {
            std::this_thread::sleep_for(nap);
        }
    }
}

}  // namespace kestro::sim::wire
