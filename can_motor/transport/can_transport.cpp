#include "can_motor/transport/can_transport.hpp"

namespace kestro::can_motor {

using std::chrono::nanoseconds;
using std::chrono::steady_clock;

Deadline::Deadline(nanoseconds from_now) {
    const steady_clock::time_point now = steady_clock::now();
    // Out-of-range time-outs saturate instead of overflowing the clock arithmetic: a negative
    // one has already expired, one too long to add means "never".
    if (from_now <= nanoseconds::zero()) {
        at_ = now;
    } else if (from_now > steady_clock::time_point::max() - now) {
        at_ = steady_clock::time_point::max();
    } else {
        at_ = now + from_now;
    }
}

std::optional<nanoseconds> Deadline::remaining() const {
    const nanoseconds left = at_ - steady_clock::now();
    if (left < std::chrono::microseconds(1)) return std::nullopt;
    return left;
}

Result<CanFrame, CanError> CanTransport::request(const CanFrame& frame, const CanId& expect,
                                                 nanoseconds timeout) {
    KESTRO_TRY(send(frame));
    return recv_matching(Deadline(timeout),
                         [&expect](const CanFrame& reply) { return reply.id == expect; });
}

}  // namespace kestro::can_motor
