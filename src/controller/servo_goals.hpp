// What a goal position for a serial servo must be before it is sent. The servos are
// single-turn: one turn about the centre is every position the shaft has, and the register
// map would saturate anything beyond it to a count far outside that turn (NaN to the bottom
// end), which the servo turns into a jump to an end stop.
#pragma once

#include <cstdint>
#include <numbers>
#include <span>

#include "common/result.hpp"
#include "src/controller/controller_error.hpp"

namespace kestro::controller {

// Goals lie within [-SERVO_GOAL_LIMIT, SERVO_GOAL_LIMIT] rad; π itself is the top count, 4096.
inline constexpr double SERVO_GOAL_LIMIT = std::numbers::pi;

// Refuses, as an invalid argument naming the servo, the first goal that is not finite or lies
// outside the servo's range; `goals[i]` is for servo `ids[i]`.
Result<void, ControllerError> check_servo_goals(std::span<const std::uint8_t> ids,
                                                std::span<const double> goals);

}  // namespace kestro::controller
