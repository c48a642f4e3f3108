#include "sim/damiao/mit_wire.hpp"

#include <algorithm>
#include <cmath>

namespace kestro::sim::mit_wire {
namespace {

double from_code(unsigned code, unsigned bits, double lo, double hi) {
    const double full_scale = static_cast<double>((1u << bits) - 1);
    return lo + (hi - lo) * (code / full_scale);
}

unsigned to_code(double x, unsigned bits, double lo, double hi) {
    const double full_scale = static_cast<double>((1u << bits) - 1);
    if (!(hi > lo) || std::isnan(x)) return 0;
    const double fraction = std::clamp((x - lo) / (hi - lo), 0.0, 1.0);
    return static_cast<unsigned>(std::lround(fraction * full_scale));
}

}  // namespace

SimMitCommand unpack_command(const MitRanges& r, std::span<const std::uint8_t> b) {
    // 16-bit position, then four 12-bit fields packed back to back, most significant first.
    const unsigned p = (b[0] << 8) | b[1];
    const unsigned v = (b[2] << 4) | (b[3] >> 4);
    const unsigned kp = ((b[3] & 0x0F) << 8) | b[4];
    const unsigned kd = (b[5] << 4) | (b[6] >> 4);
    const unsigned t = ((b[6] & 0x0F) << 8) | b[7];
    return SimMitCommand{
        .position = from_code(p, 16, -r.p_max, r.p_max),
        .velocity = from_code(v, 12, -r.v_max, r.v_max),
        .kp = from_code(kp, 12, 0.0, r.kp_max),
        .kd = from_code(kd, 12, 0.0, r.kd_max),
        .torque = from_code(t, 12, -r.t_max, r.t_max),
    };
}

std::array<std::uint8_t, 8> pack_feedback(const MitRanges& r, const SimFeedback& f) {
    const unsigned p = to_code(f.position, 16, -r.p_max, r.p_max);
    const unsigned v = to_code(f.velocity, 12, -r.v_max, r.v_max);
    const unsigned t = to_code(f.torque, 12, -r.t_max, r.t_max);
    return {
        static_cast<std::uint8_t>((f.status << 4) | (f.motor_id & 0x0F)),
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p & 0xFF),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0x0F) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t & 0xFF),
        f.temp_driver,
        f.temp_motor,
    };
}

}  // namespace kestro::sim::mit_wire
