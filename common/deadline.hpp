// The end of a wait that spans several reads, polls or sleeps, on the monotonic clock, so that
// a wall-clock step can neither cut a wait short nor stretch it, and a signal that interrupts
// one step does not restart the whole wait.
#pragma once

#include <chrono>
#include <optional>

namespace kestro {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // Out-of-range lengths saturate instead of overflowing the clock arithmetic: a negative one
    // has already expired, one too long to add means "never".
    explicit Deadline(std::chrono::nanoseconds from_now);

    // The time left, or nothing once less than one microsecond is left: system calls take
    // their time-outs in whole microseconds or coarser, and some read zero as "no limit", so a
    // shorter rest must count as expired rather than turn into an unbounded wait.
    std::optional<std::chrono::nanoseconds> remaining() const;
    bool expired() const { return !remaining(); }

    // Since the deadline was set, for reports of how long a wait took.
    Clock::duration elapsed() const { return Clock::now() - start_; }
    // How long the whole wait was to last.
    Clock::duration length() const { return at_ - start_; }

private:
    Clock::time_point start_;
    Clock::time_point at_;
};

}  // namespace kestro
