// One full reading of the torso: all seven servos (with retries) and the three neck motors.
#pragma once

#include <cstdint>

#include "common/result.hpp"
#include "src/control_loop/motor_error.hpp"
#include "src/control_loop/torso_position.hpp"
#include "src/controller/controller.hpp"

namespace kestro::control_loop {

// Without a serial port the arm and nose values are 0.0 and the serial bus is not touched.
// Any failure is a CommunicationError; the cause is not kept. `cancel` cuts the retry pauses
// short.
Result<KestroTorsoPosition, MotorError> read_pos(controller::KestroMotorController& controller,
                                                 std::uint64_t allowed_retries,
                                                 const CancelToken& cancel = {});

}  // namespace kestro::control_loop
