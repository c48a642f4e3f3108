// The control commands read on standard input, one per line, as values: tests script faults
// with them while the simulator runs (see README.md for the list).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.hpp"

namespace kestro::sim::torso::command {

using std::chrono::milliseconds;

// Servo ids 1 to 7 or motor ids 1 to 3; "all" names every one in order.
using Ids = std::vector<std::uint16_t>;

enum class ServoFault { Silent, CorruptChecksum };
enum class MotorFault { Silent, ModeLocked, Stuck };
enum class ServoReading { Position, Goal, Torque };

struct ServoFaultSwitch {
    Ids ids;
    ServoFault fault;
    bool on;
    bool operator==(const ServoFaultSwitch&) const = default;
};
struct ServoDelay {
    Ids ids;
    milliseconds delay;
    bool operator==(const ServoDelay&) const = default;
};
// Holds the voltage there: a ramp in progress stops.
struct ServoVoltage {
    Ids ids;
    std::uint8_t raw;
    bool operator==(const ServoVoltage&) const = default;
};
struct SupplyRampTo {
    std::uint8_t raw;
    milliseconds over;
    bool operator==(const SupplyRampTo&) const = default;
};
// The error byte of the servos' status packets from now on.
struct ServoErrorByte {
    Ids ids;
    std::uint8_t flags;
    bool operator==(const ServoErrorByte&) const = default;
};
// Torque off and the input-voltage flag set until torque is written on again.
struct ServoBrownout {
    Ids ids;
    bool operator==(const ServoBrownout&) const = default;
};
struct RegisterWrite {
    std::uint8_t id;
    std::uint8_t address;
    std::uint8_t value;
    bool operator==(const RegisterWrite&) const = default;
};
struct RegisterRead {
    std::uint8_t id;
    std::uint8_t address;
    bool operator==(const RegisterRead&) const = default;
};
struct ServoQuery {
    std::uint8_t id;
    ServoReading reading;
    bool operator==(const ServoQuery&) const = default;
};
// Turns the shaft by hand: the servo then reports `counts` (0 to 4095).
struct ServoPlace {
    std::uint8_t id;
    int counts;
    bool operator==(const ServoPlace&) const = default;
};
struct StrayBytes {
    unsigned count;
    bool operator==(const StrayBytes&) const = default;
};
struct ContinuousStray {
    bool on;
    bool operator==(const ContinuousStray&) const = default;
};
struct MotorFaultSwitch {
    Ids ids;
    MotorFault fault;
    bool on;
    bool operator==(const MotorFaultSwitch&) const = default;
};
struct MotorDelay {
    Ids ids;
    milliseconds delay;
    bool operator==(const MotorDelay&) const = default;
};
// A fault state code (8 to 15) the motors report until cleared; nullopt ("off") clears it.
struct MotorFaultCode {
    Ids ids;
    std::optional<std::uint8_t> code;
    bool operator==(const MotorFaultCode&) const = default;
};
// Driver (MOS) and motor coil temperatures (°C) in their feedback from now on.
struct MotorTemperatures {
    Ids ids;
    std::uint8_t driver;
    std::uint8_t motor;
    bool operator==(const MotorTemperatures&) const = default;
};
struct MotorPlace {
    std::uint16_t id;
    double angle;
    int turns;
    bool operator==(const MotorPlace&) const = default;
};
struct MotorState {
    std::uint16_t id;
    bool operator==(const MotorState&) const = default;
};
struct ForeignFrames {
    unsigned count;
    bool operator==(const ForeignFrames&) const = default;
};
// The WRITE instructions the servo received, oldest first, among the requests kept.
struct ServoWrites {
    std::uint8_t id;
    bool operator==(const ServoWrites&) const = default;
};
struct Requests {
    bool clear;
    bool operator==(const Requests&) const = default;
};
enum class Bus { Serial, Can };
// The bus's adapter pulled out (plugged false) or put back.
struct Plug {
    Bus bus;
    bool plugged;
    bool operator==(const Plug&) const = default;
};
// The CAN interface set down or up, as "ip link set" does.
struct CanLink {
    bool up;
    bool operator==(const CanLink&) const = default;
};
struct Quit {
    bool operator==(const Quit&) const = default;
};

using Command =
    std::variant<ServoFaultSwitch, ServoDelay, ServoVoltage, SupplyRampTo, ServoErrorByte,
                 ServoBrownout, RegisterWrite, RegisterRead, ServoQuery, ServoPlace, StrayBytes,
                 ContinuousStray, MotorFaultSwitch, MotorDelay, MotorFaultCode,
                 MotorTemperatures, MotorPlace, MotorState, ForeignFrames, ServoWrites,
                 Requests, Plug, CanLink, Quit>;

// The command on `line`, or why it is none (the text of the "error:" answer).
Result<Command, std::string> parse(std::string_view line);

}  // namespace kestro::sim::torso::command
