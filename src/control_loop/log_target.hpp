// The target of the control loop's log records, which Python sees as the logger
// "kestro_motor_controller.control_loop".
#pragma once

#include <string_view>

namespace kestro::control_loop {

inline constexpr std::string_view LOG_TARGET = "kestro_motor_controller::control_loop";

}  // namespace kestro::control_loop
