// The motor side of the MIT payloads: commands unpacked into physical values, feedback packed
// from them. Its own arithmetic (doubles, rounding to nearest), so a product codec bug is not
// mirrored here.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kestro::sim {

// A motor's mapping ranges, as its PMAX/VMAX/TMAX registers and its fixed gain ranges say.
struct MitRanges {
    double p_max;
    double v_max;
    double kp_max;
    double kd_max;
    double t_max;
};

struct SimMitCommand {
    double position;
    double velocity;
    double kp;
    double kd;
    double torque;
};

struct SimFeedback {
    std::uint8_t motor_id;  // low nibble on the wire
    std::uint8_t status;    // high nibble: 0 disabled, 1 enabled, 8 to 15 a fault
    double position;
    double velocity;
    double torque;
    std::uint8_t temp_driver;
    std::uint8_t temp_motor;
};

namespace mit_wire {

// `payload` must hold 8 bytes.
SimMitCommand unpack_command(const MitRanges& ranges, std::span<const std::uint8_t> payload);

// Values beyond a range report its end.
std::array<std::uint8_t, 8> pack_feedback(const MitRanges& ranges, const SimFeedback& feedback);

}  // namespace mit_wire
}  // namespace kestro::sim
