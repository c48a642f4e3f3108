#include "can_motor/damiao/control_command.hpp"

#include <algorithm>
#include <bit>

namespace kestro::can_motor::damiao {
namespace {

using Payload = std::array<std::uint8_t, 8>;

void put_u16(Payload& payload, std::size_t at, std::uint16_t value) {
    payload[at] = static_cast<std::uint8_t>(value);
    payload[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_f32(Payload& payload, std::size_t at, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    put_u16(payload, at, static_cast<std::uint16_t>(bits));
    put_u16(payload, at + 2, static_cast<std::uint16_t>(bits >> 16));
}

// (x clamped to [0, hi]) × scale, truncated, at most 10000; NaN gives 0.
std::uint16_t force_pos_code(float x, float hi, float scale) {
    const float scaled = std::clamp(x, 0.0f, hi) * scale;
    if (!(scaled > 0.0f)) return 0;
    return static_cast<std::uint16_t>(std::min(scaled, 10000.0f));
}

std::uint16_t offset(std::uint16_t can_id, std::uint16_t mode_offset) {
    return static_cast<std::uint16_t>(can_id + mode_offset);
}

struct Build {
    std::uint16_t can_id;
    const MitLimits& limits;

    ArbitratedPayload operator()(const MitCommand& command) const {
        return {can_id, encode(limits, command)};
    }
    ArbitratedPayload operator()(const PosVel& command) const {
        Payload payload{};
        put_f32(payload, 0, command.position);
        put_f32(payload, 4, command.velocity);
        return {offset(can_id, 0x100), payload};
    }
    ArbitratedPayload operator()(const Vel& command) const {
        Payload payload{};
        put_f32(payload, 0, command.velocity);
        return {offset(can_id, 0x200), payload};
    }
    ArbitratedPayload operator()(const ForcePos& command) const {
        Payload payload{};
        put_f32(payload, 0, command.position);
        put_u16(payload, 4, force_pos_code(command.velocity, 100.0f, 100.0f));
        put_u16(payload, 6, force_pos_code(command.current, 1.0f, 10000.0f));
        return {offset(can_id, 0x300), payload};
    }
};

}  // namespace

ArbitratedPayload command_frame(std::uint16_t can_id, const MitLimits& limits,
                                const ControlCommand& command) {
    return std::visit(Build{can_id, limits}, command);
}

}  // namespace kestro::can_motor::damiao
