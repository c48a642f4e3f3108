// The torso's motor layout, shared by every layer: the seven serial servos in table order
// (every seven-element array uses it), their id groups, and the three neck motors in joint
// order (every three-element neck array uses it).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "can_motor/damiao/mit.hpp"

namespace kestro::controller {

enum class ServoModel { SM40BL, STS3025BL };

struct ServoInfo {
    std::string_view name;
    std::uint8_t id;
    ServoModel model;
};

inline constexpr std::array<ServoInfo, 7> SERVOS{{
    {"left_arm_pitch", 1, ServoModel::SM40BL},
    {"left_arm_yaw", 2, ServoModel::SM40BL},
    {"right_arm_pitch", 3, ServoModel::SM40BL},
    {"right_arm_yaw", 4, ServoModel::SM40BL},
    {"nose_top", 5, ServoModel::STS3025BL},
    {"nose_left", 6, ServoModel::STS3025BL},
    {"nose_right", 7, ServoModel::STS3025BL},
}};

constexpr bool is_arm(const ServoInfo& servo) {
    return servo.model == ServoModel::SM40BL;
}
constexpr bool is_nose(const ServoInfo& servo) {
    return servo.model == ServoModel::STS3025BL;
}
constexpr bool is_left_arm(const ServoInfo& servo) {
    return servo.name.starts_with("left_arm_");
}
constexpr bool is_right_arm(const ServoInfo& servo) {
    return servo.name.starts_with("right_arm_");
}
constexpr bool is_any(const ServoInfo&) {
    return true;
}

// The ids of the table rows that `Keep` selects, in table order.
template <bool (*Keep)(const ServoInfo&)>
constexpr auto servo_ids() {
    constexpr std::size_t count = [] {
        std::size_t n = 0;
        for (const ServoInfo& servo : SERVOS) n += Keep(servo) ? 1 : 0;
        return n;
    }();
    std::array<std::uint8_t, count> ids{};
    std::size_t at = 0;
    for (const ServoInfo& servo : SERVOS) {
        if (Keep(servo)) ids[at++] = servo.id;
    }
    return ids;
}

// Group transactions address these lists: SM40BL for the arms, STS3025BL for the nose. An
// operation on all seven servos does the arm group first, then the nose group.
inline constexpr auto SERVO_IDS = servo_ids<is_any>();
inline constexpr auto ARM_IDS = servo_ids<is_arm>();
inline constexpr auto NOSE_IDS = servo_ids<is_nose>();
inline constexpr auto LEFT_ARM_IDS = servo_ids<is_left_arm>();
inline constexpr auto RIGHT_ARM_IDS = servo_ids<is_right_arm>();

// Every seven-value array is in table order and is split into the groups as its first four and
// last three values, so the table must list the arm group first.
static_assert(ARM_IDS.size() + NOSE_IDS.size() == SERVOS.size());
static_assert([] {
    for (std::size_t i = 0; i < SERVOS.size(); ++i) {
        if (is_arm(SERVOS[i]) != (i < ARM_IDS.size())) return false;
    }
    return true;
}());
static_assert(LEFT_ARM_IDS.size() + RIGHT_ARM_IDS.size() == ARM_IDS.size());

// One group transaction per servo model, arm group first; together they cover all seven servos.
using ServoGroups = std::array<std::span<const std::uint8_t>, 2>;
inline constexpr ServoGroups SERVO_GROUPS{std::span(ARM_IDS), std::span(NOSE_IDS)};

// The table row of serial id `id`; null for an id no servo has.
constexpr const ServoInfo* find_servo(std::uint8_t id) {
    for (const ServoInfo& servo : SERVOS) {
        if (servo.id == id) return &servo;
    }
    return nullptr;
}

// The position of `servo` in the table, which every seven-value array follows.
constexpr std::size_t servo_index(const ServoInfo& servo) {
    return static_cast<std::size_t>(&servo - SERVOS.data());
}

// The name of servo `id`, or "Unknown(id)" for an id no servo has.
std::string servo_name(std::uint8_t id);

inline constexpr std::array<std::string_view, 3> NECK_JOINT_NAMES{"neck_yaw", "neck_pitch",
                                                                  "neck_roll"};

struct NeckMotorInfo {
    std::uint16_t can_id;
    std::uint16_t master_id;
    std::chrono::milliseconds timeout;
    can_motor::damiao::MitLimits limits;
};

// Yaw differs from pitch and roll in its velocity (30 vs 10 rad/s) and torque (10 vs 28 N·m)
// ranges.
inline constexpr std::array<NeckMotorInfo, 3> NECK_MOTORS{{
    {1, 1, std::chrono::milliseconds(20), {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}},
    {2, 2, std::chrono::milliseconds(20), {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
    {3, 3, std::chrono::milliseconds(20), {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}},
}};

// Hard safety range (lower, upper) in rad that every single-joint neck goal is clamped to.
// Pitch cannot go below 0.
inline constexpr std::array<std::pair<double, double>, 3> NECK_POSITION_LIMITS{{
    {-0.5, 0.5},
    {0.0, 0.45},
    {-0.4, 0.4},
}};

// The command each neck joint starts with: hold 0 with yaw kp 30 / kd 1, pitch and roll
// kp 60 / kd 2. Only position, kp and kd ever change.
inline constexpr std::array<can_motor::damiao::MitCommand, 3> DEFAULT_NECK_COMMANDS{{
    {0.0f, 0.0f, 30.0f, 1.0f, 0.0f},
    {0.0f, 0.0f, 60.0f, 2.0f, 0.0f},
    {0.0f, 0.0f, 60.0f, 2.0f, 0.0f},
}};

// A fresh map from each serial servo's name to its id.
std::unordered_map<std::string, std::uint8_t> get_motor_name_id();

}  // namespace kestro::controller
