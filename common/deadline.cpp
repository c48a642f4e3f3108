#include "common/deadline.hpp"

namespace kestro {

using std::chrono::nanoseconds;

Deadline::Deadline(nanoseconds from_now) : start_(Clock::now()) {
    if (from_now <= nanoseconds::zero()) {
        at_ = start_;
    } else if (from_now > Clock::time_point::max() - start_) {
        at_ = Clock::time_point::max();
    } else {
        at_ = start_ + from_now;
    }
}

std::optional<nanoseconds> Deadline::remaining() const {
    const nanoseconds left = at_ - Clock::now();
    if (left < std::chrono::microseconds(1)) return std::nullopt;
    return left;
}

}  // namespace kestro
