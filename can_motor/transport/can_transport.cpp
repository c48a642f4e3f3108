#include "can_motor/transport/can_transport.hpp"

namespace kestro::can_motor {

using std::chrono::nanoseconds;

namespace {

// A bus flooded by other nodes must not hold a drain for ever: past the window, at most this
// many queued frames are discarded.
constexpr std::size_t MAX_DRAINED_AFTER_WINDOW = 64;

}  // namespace

Result<CanFrame, CanError> CanTransport::request(const CanFrame& frame, const CanId& expect,
                                                 nanoseconds timeout) {
    KESTRO_TRY(send_expecting_reply(frame));
    return recv_matching(Deadline(timeout),
                         [&expect](const CanFrame& reply) { return reply.id == expect; });
}

Result<void, CanError> CanTransport::send_expecting_reply(const CanFrame& frame) {
    KESTRO_TRY(drain_stale());
    return send(frame);
}

Result<void, CanError> CanTransport::drain_stale() {
    if (!stale_window_) return {};
    const Deadline window = *stale_window_;
    stale_window_.reset();
    std::size_t after_window = 0;
    while (after_window < MAX_DRAINED_AFTER_WINDOW) {
        // Within the window a late answer is waited for; after it only what is queued is taken
        // (the shortest wait a socket knows: zero would mean none at all).
        const std::optional<nanoseconds> left = window.remaining();
        Result<CanFrame, CanError> frame = recv(left.value_or(std::chrono::microseconds(1)));
        if (!left) ++after_window;
        if (frame) continue;
        if (!frame.error().is<CanError::Timeout>()) return fail(frame.error());
        if (!left) return {};
    }
    return {};
}

}  // namespace kestro::can_motor
