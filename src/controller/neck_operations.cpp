// The controller's neck operations: three Damiao motors in MIT impedance mode, always handled
// in joint order (yaw, pitch, roll), each stopping at the first joint that fails.
#include <cmath>
#include <limits>

#include "can_motor/damiao/registers.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "src/controller/controller.hpp"
#include "src/controller/log_target.hpp"

namespace kestro::controller {
namespace {

using can_motor::damiao::Error;

std::string joint_name(std::size_t index) { return std::string(NECK_JOINT_NAMES[index]); }

ControllerError neck_error(std::string prefix, const Error& error) {
    return ControllerError(std::move(prefix) + error.to_string());
}

// NaN passes the clamp (no comparison holds) and the MIT codec would send it as raw 0, the
// far end of the position range: about two turns away. Such a goal must never leave here.
Outcome<void> check_goal(std::size_t index, double position) {
    if (std::isnan(position)) {
        return fail(ControllerError(joint_name(index) + " requested position is not a number"));
    }
    return {};
}

}  // namespace

double KestroMotorController::clamp_neck_position(std::size_t index, double position) {
    auto [lower, upper] = NECK_POSITION_LIMITS[index];
    double clamped = position < lower ? lower : position > upper ? upper : position;
    if (std::fabs(clamped - position) > std::numeric_limits<double>::epsilon()) {
        log::emit(log::Level::Warn, LOG_TARGET, [&] {
            return joint_name(index) + " requested position " + text::fixed(position, 4) +
                   " rad out of safe range [" + text::fixed(lower, 4) + ", " +
                   text::fixed(upper, 4) + "]; clamped to " + text::fixed(clamped, 4);
        });
    }
    return clamped;
}

Outcome<void> KestroMotorController::enable_neck(bool enable) {
    for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
        const auto& motor = neck_motors_[i];
        if (enable) {
            auto mode = motor.ensure_control_mode(*can_, can_motor::damiao::control_mode::MIT);
            if (!mode) return fail(neck_error(joint_name(i) + ": ensure MIT mode failed: ", mode.error()));
            auto enabled = noted(i, motor.enable(*can_));
            if (!enabled) return fail(neck_error(joint_name(i) + ": enable failed: ", enabled.error()));
        } else {
            auto disabled = noted(i, motor.disable(*can_));
            if (!disabled) return fail(neck_error(joint_name(i) + ": disable failed: ", disabled.error()));
        }
    }
    // Only a switch of all three joints changes the record; the motors have no readable state.
    neck_torque_enabled_ = enable;
    return {};
}

Outcome<void> KestroMotorController::check_neck_index(std::size_t index) {
    if (index < NECK_JOINT_NAMES.size()) return {};
    return fail(ControllerError("neck index out of range: " + std::to_string(index)));
}

Outcome<void> KestroMotorController::set_neck_gains(std::size_t index, float kp, float kd) {
    KESTRO_TRY(check_neck_index(index));
    neck_commands_[index].kp = kp;
    neck_commands_[index].kd = kd;
    return {};
}

Result<double, Error> KestroMotorController::send_neck_command(std::size_t index) {
    KESTRO_TRY_ASSIGN(const can_motor::damiao::MitState state,
                      noted(index, neck_motors_[index].control(*can_, neck_commands_[index])));
    return static_cast<double>(state.position);
}

Outcome<NeckPositions> KestroMotorController::command_neck_mit(const NeckPositions& positions,
                                                               std::string_view label) {
    NeckPositions observed{};
    for (std::size_t i = 0; i < positions.size(); ++i) {
        neck_commands_[i].position = static_cast<float>(positions[i]);
        auto position = send_neck_command(i);
        if (!position) {
            return fail(neck_error(std::string(label) + "(" + joint_name(i) + "): ", position.error()));
        }
        observed[i] = *position;
    }
    return observed;
}

Outcome<NeckPositions> KestroMotorController::set_neck_position(const NeckPositions& goals) {
    NeckPositions clamped{};
    for (std::size_t i = 0; i < goals.size(); ++i) {
        KESTRO_TRY(check_goal(i, goals[i]));
    }
    for (std::size_t i = 0; i < goals.size(); ++i) clamped[i] = clamp_neck_position(i, goals[i]);
    return command_neck_mit(clamped, "set_neck_position");
}

Outcome<double> KestroMotorController::set_single_neck_joint(std::size_t index, double position) {
    KESTRO_TRY(check_goal(index, position));
    neck_commands_[index].position = static_cast<float>(clamp_neck_position(index, position));
    auto observed = send_neck_command(index);
    if (!observed) {
        return fail(neck_error("set_" + joint_name(index) + "_position: ", observed.error()));
    }
    return *observed;
}

Outcome<void> KestroMotorController::set_neck_timeout(std::uint32_t units) {
    using can_motor::damiao::RegisterValue;
    for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
        auto written = neck_motors_[i].write_register(*can_, can_motor::damiao::TIMEOUT,
                                                      RegisterValue::Uint32(units));
        if (!written) return fail(neck_error(joint_name(i) + ": watchdog write failed: ", written.error()));
    }
    return {};
}

std::vector<std::string> KestroMotorController::check_missing_neck_motors(
    const CancelToken& cancel) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
        if (cancel.requested()) break;
        if (!noted(i, neck_motors_[i].request_feedback(*can_))) missing.push_back(joint_name(i));
    }
    return missing;
}

Outcome<NeckPositions> KestroMotorController::read_neck_positions() {
    KESTRO_TRY_ASSIGN(const auto& states, read_neck_state());
    NeckPositions observed{};
    for (std::size_t i = 0; i < states.size(); ++i) observed[i] = states[i].state.position;
    return observed;
}

Outcome<std::array<NeckState, 3>> KestroMotorController::read_neck_state() {
    std::array<NeckState, 3> states{};
    for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
        auto state = noted(i, neck_motors_[i].request_feedback(*can_));
        if (!state) {
            return fail(neck_error("read_neck_positions(" + joint_name(i) + "): ", state.error()));
        }
        states[i] = *health().devices[neck_device(i)].neck_state;
    }
    return states;
}

Outcome<std::vector<NeckState>> KestroMotorController::clear_neck_faults(
    std::optional<std::size_t> index) {
    if (index) KESTRO_TRY(check_neck_index(*index));
    const std::size_t first = index.value_or(0);
    const std::size_t end = index ? *index + 1 : neck_motors_.size();
    std::vector<NeckState> states;
    for (std::size_t i = first; i < end; ++i) {
        auto cleared = noted(i, neck_motors_[i].clear_error(*can_));
        if (!cleared) {
            return fail(neck_error(joint_name(i) + ": clear faults failed: ", cleared.error()));
        }
        states.push_back(*health().devices[neck_device(i)].neck_state);
    }
    return states;
}

Result<can_motor::damiao::MitState, Error> KestroMotorController::noted(
    std::size_t index, Result<can_motor::damiao::MitState, Error> reply) {
    health_->on_neck_reply(index, reply);
    return reply;
}

}  // namespace kestro::controller
