#include "can_motor/transport/can_transport.hpp"

namespace kestro::can_motor {

using std::chrono::nanoseconds;

Result<CanFrame, CanError> CanTransport::request(const CanFrame& frame, const CanId& expect,
                                                 nanoseconds timeout) {
    KESTRO_TRY(send(frame));
    return recv_matching(Deadline(timeout),
                         [&expect](const CanFrame& reply) { return reply.id == expect; });
}

}  // namespace kestro::can_motor
