// The --trace log: one line on standard error per servo packet and CAN frame, stamped with
// the time since start and the direction ("host>sim" toward the simulator, "sim>host" from
// it), so that users can follow what their code really put on the buses.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "sim/damiao/bus_frame.hpp"
#include "sim/wire/serial_line.hpp"

namespace kestro::sim::torso {

enum class Direction { ToSim, FromSim };

class Trace {
public:
    explicit Trace(bool enabled) : enabled_(enabled) {}

    bool enabled() const { return enabled_; }
    // Bytes of the serial line, one line per packet (a run of bytes outside any packet is
    // shown as noise).
    void serial(Direction direction, std::span<const std::uint8_t> bytes);
    // One CAN frame record; a record that is no frame is shown raw.
    void can(Direction direction, std::span<const std::uint8_t> record);
    // The same for a wire-timed bus, followed by when the packet held the modelled wire.
    void serial(Direction direction, std::span<const std::uint8_t> bytes,
                const wire::Window& window);
    void can(Direction direction, std::span<const std::uint8_t> record,
             const wire::Window& window);

private:
    std::string can_text(std::span<const std::uint8_t> record) const;
    std::string window_text(const wire::Window& window) const;
    void line(std::string_view bus, Direction direction, std::string_view text);

    bool enabled_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace kestro::sim::torso
