#include "can_motor/damiao/mit.hpp"

namespace kestro::can_motor::damiao {
namespace {

// Every step stays in 32-bit floats, multiplication before division, so that the codes match
// the motor's own arithmetic bit for bit.

// A NaN stays NaN: neither comparison holds.
float clamp(float x, float lo, float hi) {
    if (x < lo) return lo;
    if (x > hi) return hi;
    return x;
}

// Truncates toward zero; negatives and NaN give 0, and the code never exceeds its field.
std::uint32_t to_code(float x, std::uint32_t max_code) {
    if (!(x > 0.0f)) return 0;
    if (x >= static_cast<float>(max_code)) return max_code;
    return static_cast<std::uint32_t>(x);
}

std::uint32_t symmetric_code(float x, float range, std::uint32_t max_code) {
    const float shifted = range + clamp(x, -range, range);
    return to_code(shifted * static_cast<float>(max_code) / (2.0f * range), max_code);
}

std::uint32_t gain_code(float x, float range, std::uint32_t max_code) {
    return to_code(clamp(x, 0.0f, range) * static_cast<float>(max_code) / range, max_code);
}

float from_code(std::uint32_t code, float range, std::uint32_t max_code) {
    return (2.0f * range) * static_cast<float>(code) / static_cast<float>(max_code) - range;
}

constexpr std::uint32_t MAX16 = 0xFFFF;
constexpr std::uint32_t MAX12 = 0xFFF;

}  // namespace

std::array<std::uint8_t, MIT_PAYLOAD_SIZE> encode(const MitLimits& limits,
                                                  const MitCommand& command) {
    const std::uint32_t p = symmetric_code(command.position, limits.p_max, MAX16);
    const std::uint32_t v = symmetric_code(command.velocity, limits.v_max, MAX12);
    const std::uint32_t kp = gain_code(command.kp, limits.kp_max, MAX12);
    const std::uint32_t kd = gain_code(command.kd, limits.kd_max, MAX12);
    const std::uint32_t t = symmetric_code(command.torque, limits.t_max, MAX12);
    return {
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0xF) << 4) | (kp >> 8)),
        static_cast<std::uint8_t>(kp),
        static_cast<std::uint8_t>(kd >> 4),
        static_cast<std::uint8_t>(((kd & 0xF) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t),
    };
}

std::optional<MitState> decode_state(const MitLimits& limits, std::span<const std::uint8_t> data) {
    if (data.size() < MIT_PAYLOAD_SIZE) return std::nullopt;
    const std::uint32_t p = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t v = (std::uint32_t{data[3]} << 4) | (data[4] >> 4);
    const std::uint32_t t = (std::uint32_t{data[4] & 0xFu} << 8) | data[5];
    return MitState{
        .position = from_code(p, limits.p_max, MAX16),
        .velocity = from_code(v, limits.v_max, MAX12),
        .torque = from_code(t, limits.t_max, MAX12),
        .motor_id = static_cast<std::uint8_t>(data[0] & 0xF),
        .status = static_cast<std::uint8_t>(data[0] >> 4),
        .temp_driver = data[6],
        .temp_motor = data[7],
    };
}

}  // namespace kestro::can_motor::damiao
