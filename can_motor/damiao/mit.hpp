// The Damiao MIT protocol's payloads: commands packed from physical values, feedback unpacked
// into them. Floats map onto 16- or 12-bit unsigned integers over one motor's ranges.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kestro::can_motor::damiao {

// One motor's mapping ranges: position ±p_max (rad), velocity ±v_max (rad/s), kp 0..kp_max,
// kd 0..kd_max, torque ±t_max (N·m).
struct MitLimits {
    float p_max;
    float v_max;
    float kp_max;
    float kd_max;
    float t_max;

    bool operator==(const MitLimits&) const = default;
};

struct MitCommand {
    float position;
    float velocity;
    float kp;
    float kd;
    float torque;  // feed-forward

    bool operator==(const MitCommand&) const = default;
};

struct MitState {
    float position;
    float velocity;
    float torque;
    std::uint8_t motor_id;  // low nibble of byte 0
    std::uint8_t status;    // high nibble of byte 0: the motor's state or error code
    std::uint8_t temp_driver;
    std::uint8_t temp_motor;

    bool operator==(const MitState&) const = default;
};

inline constexpr std::size_t MIT_PAYLOAD_SIZE = 8;

// Values beyond a range are clamped to it; NaN fields and NaN quotients encode as 0.
std::array<std::uint8_t, MIT_PAYLOAD_SIZE> encode(const MitLimits& limits,
                                                  const MitCommand& command);

// Nothing when `data` holds fewer than 8 bytes; bytes past the eighth are not looked at.
std::optional<MitState> decode_state(const MitLimits& limits, std::span<const std::uint8_t> data);

}  // namespace kestro::can_motor::damiao
