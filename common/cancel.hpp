// Cancelling a long operation from above. The binding layer hands one of these down to the
// controller and the control loop, which poll it between their steps, so that a person can
// stop a homing run or a start-up with Ctrl-C; the lower layers know nothing of what asks.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

namespace kestro {

// The longest a long operation goes without polling its cancel check.
inline constexpr std::chrono::milliseconds CANCEL_POLL_INTERVAL{10};

class CancelToken {
public:
    // Never asks to stop.
    CancelToken() = default;
    // Asks to stop once `check` has said true; `check` is not called again after that.
    explicit CancelToken(std::function<bool()> check) : check_(std::move(check)) {}

    bool requested() const {
        if (!requested_ && check_) requested_ = check_();
        return requested_;
    }

private:
    std::function<bool()> check_;
    mutable bool requested_ = false;
};

// Sleeps for `duration`, polling `cancel` at least every CANCEL_POLL_INTERVAL; false when it
// asked to stop (the rest of the sleep is skipped).
bool sleep_for(std::chrono::nanoseconds duration, const CancelToken& cancel);

}  // namespace kestro
