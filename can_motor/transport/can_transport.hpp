// The CAN transport interface: whole frames out and in. `send` and `recv` are the backend's
// primitives; everything that waits for a particular frame is built on them here, once.
#pragma once

#include <chrono>
#include <optional>

#include "can_motor/transport/can_error.hpp"
#include "can_motor/transport/can_frame.hpp"
#include "common/deadline.hpp"
#include "common/result.hpp"

namespace kestro::can_motor {

class CanTransport {
public:
    virtual ~CanTransport() = default;

    // Transmits one frame.
    virtual Result<void, CanError> send(const CanFrame& frame) = 0;

    // The next frame from the bus, whatever its identifier. No time-out waits without limit.
    virtual Result<CanFrame, CanError> recv(std::optional<std::chrono::nanoseconds> timeout) = 0;

    // Sends `frame`, then gives the first received frame whose identifier equals `expect`
    // (same kind, same value). Frames with other identifiers are consumed and lost.
    Result<CanFrame, CanError> request(const CanFrame& frame, const CanId& expect,
                                       std::chrono::nanoseconds timeout);

    // Sends a frame whose answer will be waited for, once what an earlier timed-out wait may
    // have left behind is gone (drain_stale).
    Result<void, CanError> send_expecting_reply(const CanFrame& frame);

    // Receives until `accept(frame)` holds, discarding every other frame; `Timeout` once the
    // deadline has passed.
    template <class Accept>
    Result<CanFrame, CanError> recv_matching(const Deadline& deadline, Accept&& accept);

    // After a wait timed out, its answer may still come, and it would look just like the
    // answer to the next request. So the next request first discards every frame that is
    // queued or arrives within one more wait's length after the time-out. Without a time-out
    // since the last drain this does nothing: no system call on the happy path.
    Result<void, CanError> drain_stale();

protected:
    CanTransport() = default;
    CanTransport(const CanTransport&) = default;
    CanTransport& operator=(const CanTransport&) = default;

private:
    // Until when a late answer is waited for and discarded; none after a drain.
    std::optional<Deadline> stale_window_;
};

template <class Accept>
Result<CanFrame, CanError> CanTransport::recv_matching(const Deadline& deadline, Accept&& accept) {
    for (;;) {
        std::optional<std::chrono::nanoseconds> left = deadline.remaining();
        if (!left) {
            // A wait too short for any socket time-out (below 1 µs) leaves no window: draining
            // would wait longer than the caller ever allowed.
            if (deadline.length() >= std::chrono::microseconds(1)) {
                stale_window_.emplace(deadline.length());
            }
            return fail(CanError::timeout());
        }
        Result<CanFrame, CanError> frame = recv(*left);
        // The kernel counts receive time-outs in scheduler ticks and may give up to a tick
        // early; only the deadline decides that the wait is over.
        if (!frame && frame.error().is<CanError::Timeout>()) continue;
        if (!frame || accept(*frame)) return frame;
    }
}

}  // namespace kestro::can_motor
