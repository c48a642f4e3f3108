// The control loop's error values: what start-up, the periodic read and the raw-read request
// report to Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kestro::control_loop {

struct MissingMotors {
    std::vector<std::string> names;
};
struct CommunicationError {};
struct NoMotorsDetected {};
struct VoltageRampupTimeout {
    std::chrono::nanoseconds timeout;
    std::uint8_t voltage;  // raw register value, 0.1 V units
};
struct PortNotFound {
    std::string path;
};
struct PortOpenFailed {
    std::string path;
};
// The caller's cancel check stopped the start-up (a person pressed Ctrl-C); everything it had
// opened is closed again.
struct Interrupted {};

using MotorError = std::variant<MissingMotors, CommunicationError, NoMotorsDetected,
                                VoltageRampupTimeout, PortNotFound, PortOpenFailed, Interrupted>;

// The display text, e.g. "Missing motors: [\"nose_top\"]!".
std::string to_string(const MotorError& error);

}  // namespace kestro::control_loop
