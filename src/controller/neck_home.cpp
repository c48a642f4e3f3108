// Homing the neck to its nearest physical zero. A Damiao motor's multi-turn counter restarts
// at power-up, so the zero of a joint may read as any whole multiple of 2π: each joint is
// ramped to the multiple nearest its current position instead of to 0, which keeps the travel
// within half a turn.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "common/text.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {
namespace {

using namespace std::chrono_literals;

constexpr auto CYCLE_SLEEP = 10ms;
constexpr double TWO_PI = 2 * std::numbers::pi;
constexpr std::uint32_t SETTLE_CYCLES = 2000;
constexpr double REACHED = std::numeric_limits<double>::epsilon();

// Whole cycles needed to cover `distance` at `step` per cycle, saturated to 32 bits, plus
// the settling margin (with 32-bit wrap-around).
std::uint32_t cycle_budget(double distance, double step) {
    double ramp = std::trunc(distance / step);
    std::uint32_t cycles = 0;
    if (ramp >= 4294967295.0) {
        cycles = std::numeric_limits<std::uint32_t>::max();
    } else if (ramp > 0.0) {  // also false for NaN
        cycles = static_cast<std::uint32_t>(ramp);
    }
    return cycles + SETTLE_CYCLES;
}

// The largest of 0 and the values, ignoring NaN.
double largest(const NeckPositions& values) {
    double result = 0.0;
    for (double v : values) {
        if (v > result) result = v;
    }
    return result;
}

std::string list(const NeckPositions& values) { return text::bracketed(values, text::shortest); }

}  // namespace

Outcome<NeckPositions> KestroMotorController::neck_home(double speed, double tolerance,
                                                        std::optional<float> kp,
                                                        std::optional<float> kd,
                                                        const CancelToken& cancel,
                                                        const NeckHomeProgress& progress) {
    if (!(speed > 0)) {
        return fail(ControllerError("neck_home: speed must be positive, got " + text::shortest(speed)));
    }
    if (!(tolerance > 0)) {
        return fail(ControllerError("neck_home: tolerance must be positive, got " +
                                    text::shortest(tolerance)));
    }
    // Overrides stay in place after homing, whatever its outcome.
    for (auto& command : neck_commands_) {
        if (kp) command.kp = *kp;
        if (kd) command.kd = *kd;
    }

    KESTRO_TRY_ASSIGN(const NeckPositions start, read_neck_positions());

    NeckPositions goal{};
    NeckPositions distance{};
    for (std::size_t i = 0; i < goal.size(); ++i) {
        goal[i] = std::round(start[i] / TWO_PI) * TWO_PI;  // halves go away from zero
        distance[i] = std::fabs(start[i] - goal[i]);
    }

    if (!neck_torque_enabled_) {
        KESTRO_TRY(enable_neck(true));
    }

    const double step = speed * std::chrono::duration<double>(CYCLE_SLEEP).count();
    const std::uint32_t cycles = cycle_budget(largest(distance), step);
    NeckPositions cmd = start;
    NeckPositions observed = start;
    std::array<bool, 3> settled{};

    for (std::uint32_t cycle = 0; cycle < cycles; ++cycle) {
        // Checked before a step is sent, so that a stop leaves every motor on its last command.
        if (cancel.requested()) return fail(ControllerError::interrupted("neck_home"));
        for (std::size_t i = 0; i < cmd.size(); ++i) {
            if (settled[i]) continue;
            double d = cmd[i] - goal[i];
            if (d > step) {
                cmd[i] -= step;
            } else if (d < -step) {
                cmd[i] += step;
            } else {
                cmd[i] = goal[i];
            }
        }
        KESTRO_TRY_ASSIGN(observed, command_neck_mit(cmd, "neck_home"));
        for (std::size_t i = 0; i < cmd.size(); ++i) {
            if (!settled[i] && std::fabs(cmd[i] - goal[i]) < REACHED &&
                std::fabs(observed[i] - goal[i]) < tolerance) {
                settled[i] = true;
            }
        }
        if (progress) progress(observed, goal);
        if (std::all_of(settled.begin(), settled.end(), [](bool s) { return s; })) return observed;
        if (!homing_sleeper_(CYCLE_SLEEP, cancel)) {
            return fail(ControllerError::interrupted("neck_home"));
        }
    }
    return fail(ControllerError("neck_home: timed out before settling. observed=" + list(observed) +
                                ", goals=" + list(goal) +
                                ", settled=" + text::bracketed(settled, text::boolean)));
}

}  // namespace kestro::controller
