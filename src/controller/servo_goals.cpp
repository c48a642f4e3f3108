#include "src/controller/servo_goals.hpp"

#include <cmath>

#include "common/text.hpp"
#include "src/controller/motor_layout.hpp"

namespace kestro::controller {

Result<void, ControllerError> check_servo_goals(std::span<const std::uint8_t> ids,
                                                std::span<const double> goals) {
    for (std::size_t i = 0; i < goals.size(); ++i) {
        const double goal = goals[i];
        if (!std::isfinite(goal)) {
            return fail(ControllerError::invalid_argument(
                servo_name(ids[i]) + " goal position must be finite, got " + text::shortest(goal)));
        }
        if (std::fabs(goal) > SERVO_GOAL_LIMIT) {
            return fail(ControllerError::invalid_argument(
                servo_name(ids[i]) + " goal " + text::shortest(goal) + " rad is outside the servo's range [" +
                text::fixed(-SERVO_GOAL_LIMIT, 4) + ", " + text::fixed(SERVO_GOAL_LIMIT, 4) + "]"));
        }
    }
    return {};
}

}  // namespace kestro::controller
