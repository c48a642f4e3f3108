#include "src/control_loop/read_pos.hpp"

#include "src/control_loop/retry.hpp"

namespace kestro::control_loop {

Result<KestroTorsoPosition, MotorError> read_pos(controller::KestroMotorController& controller,
                                                 std::uint64_t allowed_retries,
                                                 const CancelToken& cancel) {
    KestroTorsoPosition position;
    if (controller.has_serial_port()) {
        auto servos = with_retry([&] { return controller.read_all_positions(); }, allowed_retries,
                                 cancel);
        if (!servos) return fail(CommunicationError{});
        set_servo_positions(position, *servos);
    }
    auto neck = controller.read_neck_positions();
    if (!neck) return fail(CommunicationError{});
    position.neck = *neck;
    position.timestamp = unix_timestamp_now();
    return position;
}

}  // namespace kestro::control_loop
