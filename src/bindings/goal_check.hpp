// The one check of goal positions that both Python classes apply to their arguments, before
// anything is sent (KestroMotorController) or queued (KestroPyControlLoop). A goal that is not
// a number would otherwise become the far end of a range: an arm servo's register map turns NaN
// into -π, the MIT codec into -12.5 rad on the neck.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "src/bindings/conversions.hpp"
#include "src/control_loop/torso_position.hpp"

namespace kestro::bindings {

// The controller's check of servo goals (finite, within one turn), made before anything is
// queued or the controller's lock is taken: ValueError naming the first servo at fault.
bool check_servo_goals(std::span<const std::uint8_t> ids, std::span<const double> goals);

// A neck goal must be a number; an infinite one is clamped to the joint's range like any
// other goal outside it. ValueError naming the joint.
bool check_neck_goal(std::size_t joint, double goal);

// An MIT gain must be a non-negative number: the frame codec would turn NaN into a gain of 0,
// and the joint would go limp. ValueError naming the argument. Gains above the frame's range
// are clamped there, as before.
bool check_neck_gain(const char* name, double gain);

inline constexpr char KP[] = "kp";
inline constexpr char KD[] = "kd";

// An MIT gain argument named `Name`, as a 32-bit float.
template <const char* Name>
struct NeckGain {
    float value = 0.0F;
};

// Goals for the servos `Ids` (one of the motor layout's id lists), in that order.
template <const auto& Ids>
struct ServoGoals {
    std::array<double, std::size(Ids)> values{};
};

// Goals for joint `Joint` of the neck (0 yaw, 1 pitch, 2 roll).
template <std::size_t Joint>
struct NeckGoal {
    double value = 0.0;
};

// Goals for the three neck joints, in joint order.
struct NeckGoals {
    std::array<double, 3> values{};
};

// A KestroTorsoPosition used as goals: its arm and nose values are checked; neck and timestamp
// are not used as goals.
struct TorsoGoals {
    control_loop::KestroTorsoPosition value;
};

template <const auto& Ids>
struct Converter<ServoGoals<Ids>> {
    static bool convert(PyObject* object, ServoGoals<Ids>& out) {
        return to_float_array(object, out.values) && check_servo_goals(Ids, out.values);
    }
};

template <std::size_t Joint>
struct Converter<NeckGoal<Joint>> {
    static bool convert(PyObject* object, NeckGoal<Joint>& out) {
        return to_f64(object, out.value) && check_neck_goal(Joint, out.value);
    }
};

template <const char* Name>
struct Converter<NeckGain<Name>> {
    static bool convert(PyObject* object, NeckGain<Name>& out) {
        double gain = 0.0;
        if (!to_f64(object, gain) || !check_neck_gain(Name, gain)) return false;
        out.value = static_cast<float>(gain);
        return true;
    }
};

template <>
struct Converter<NeckGoals> {
    static bool convert(PyObject* object, NeckGoals& out);
};

template <>
struct Converter<TorsoGoals> {
    static bool convert(PyObject* object, TorsoGoals& out);
};

}  // namespace kestro::bindings
