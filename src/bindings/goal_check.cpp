#include "src/bindings/goal_check.hpp"

#include <cmath>
#include <string>

#include "common/text.hpp"
#include "src/bindings/exceptions.hpp"
#include "src/controller/motor_layout.hpp"
#include "src/controller/servo_goals.hpp"

namespace kestro::bindings {

bool check_servo_goals(std::span<const std::uint8_t> ids, std::span<const double> goals) {
    auto checked = controller::check_servo_goals(ids, goals);
    if (!checked) raise(PyExc_ValueError, checked.error().message());
    return checked.has_value();
}

bool check_neck_goal(std::size_t joint, double goal) {
    if (!std::isnan(goal)) return true;
    raise(PyExc_ValueError,
          std::string(controller::NECK_JOINT_NAMES[joint]) + " requested position is not a number");
    return false;
}

bool check_neck_gain(const char* name, double gain) {
    if (gain >= 0.0) return true;  // false for NaN too
    raise(PyExc_ValueError,
          std::string(name) + " must be a non-negative number, got " + text::shortest(gain));
    return false;
}

bool Converter<NeckGoals>::convert(PyObject* object, NeckGoals& out) {
    if (!to_float_array(object, out.values)) return false;
    for (std::size_t joint = 0; joint < out.values.size(); ++joint) {
        if (!check_neck_goal(joint, out.values[joint])) return false;
    }
    return true;
}

bool Converter<TorsoGoals>::convert(PyObject* object, TorsoGoals& out) {
    if (!to_torso_position(object, out.value)) return false;
    return check_servo_goals(controller::SERVO_IDS, control_loop::servo_positions(out.value));
}

}  // namespace kestro::bindings
