// What `control` sends: one command of the motor's four control modes, each with its own
// arbitration id offset and payload layout.
#pragma once

#include <array>
#include <cstdint>
#include <variant>

#include "can_motor/damiao/mit.hpp"

namespace kestro::can_motor::damiao {

struct PosVel {
    float position;
    float velocity;
};

struct Vel {
    float velocity;
};

struct ForcePos {
    float position;
    float velocity;  // rad/s, 0 to 100, sent in units of 0.01
    float current;   // fraction of the rated current, 0 to 1, sent in units of 0.0001
};

using ControlCommand = std::variant<MitCommand, PosVel, Vel, ForcePos>;

// A command frame before it is put on the bus.
struct ArbitratedPayload {
    std::uint16_t arbitration_id;
    std::array<std::uint8_t, 8> payload;
};

// `can_id` for MIT, plus 0x100 for PosVel, 0x200 for Vel, 0x300 for ForcePos.
ArbitratedPayload command_frame(std::uint16_t can_id, const MitLimits& limits,
                                const ControlCommand& command);

}  // namespace kestro::can_motor::damiao
