// The simulator's command line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "sim/wire/can_bus_clock.hpp"
#include "sim/wire/serial_line.hpp"

namespace kestro::sim::torso {

struct Options {
    std::optional<std::string> serial_link;  // symlink to the servo bus's serial device
    std::optional<std::string> can_socket;   // unix socket for preload-library clients
    std::optional<std::string> vcan;         // SocketCAN interface to serve the neck on
    std::uint8_t voltage = 120;              // supply at start, 0.1 V
    std::optional<std::chrono::milliseconds> ramp;  // then up to the normal supply over this
    std::chrono::milliseconds reboot_silence{50};
    std::array<double, 3> neck_angles{};  // rad from each joint's physical zero
    std::array<int, 3> neck_turns{};      // multi-turn counters at start
    bool trace = false;
    // Both buses keep the time real ones take; off, devices answer as fast as the host reads.
    bool wire_timing = false;
    wire::SerialTiming serial_timing;
    wire::CanTiming can_timing;
    bool help = false;
};

// The options, or a one-line reason for refusing them. `args` excludes the program name.
Result<Options, std::string> parse_options(std::span<const std::string_view> args);

std::string_view usage();

}  // namespace kestro::sim::torso
