// The target of the controller's log records, which Python sees as the logger
// "kestro_motor_controller.controller".
#pragma once

#include <string_view>

namespace kestro::controller {

inline constexpr std::string_view LOG_TARGET = "kestro_motor_controller::controller";

}  // namespace kestro::controller
