#include "src/control_loop/read_pos.hpp"

#include "src/control_loop/retry.hpp"

namespace kestro::control_loop {

Result<KestroTorsoPosition, MotorError> read_pos(controller::KestroMotorController& controller,
                                                 std::uint64_t allowed_retries,
                                                 const CancelToken& cancel) {
    KestroTorsoPosition position;
    bool servos_read = true;
    if (controller.has_serial_port()) {
        auto servos = with_retry([&] { return controller.read_all_positions(); }, allowed_retries,
                                 cancel);
        servos_read = servos.has_value();
        if (servos) set_servo_positions(position, *servos);
    }
    // The neck is asked even when the servos failed: one loose servo lead must not leave the
    // neck's state, and the health it feeds, going stale.
    auto neck = controller.read_neck_positions();
    if (!servos_read || !neck) return fail(CommunicationError{});
    position.neck = *neck;
    position.timestamp = unix_timestamp_now();
    return position;
}

}  // namespace kestro::control_loop
