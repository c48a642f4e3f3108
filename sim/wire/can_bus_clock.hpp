// Time on a modelled CAN bus: each frame holds the bus for its exact length, and frames follow
// one another, never overlapping, as arbitration makes them on a real bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "sim/wire/serial_line.hpp"

namespace kestro::sim::wire {

struct CanTiming {
    unsigned bitrate = 1'000'000;
    // From the end of a request to the start of the motor's answer.
    std::chrono::nanoseconds motor_turnaround{std::chrono::microseconds(100)};

    std::chrono::nanoseconds bit_time() const;
};

class CanBusClock {
public:
    explicit CanBusClock(const CanTiming& timing) : timing_(timing) {}

    const CanTiming& timing() const { return timing_; }

    // A classic data frame sent at `ready`, or when the bus is free. The window ends with the
    // frame's last bit; the bus stays busy for the intermission after it.
    Window put(Clock::time_point ready, std::uint32_t id, bool extended,
               std::span<const std::uint8_t> data);

private:
    CanTiming timing_;
    Clock::time_point free_at_{};
};

}  // namespace kestro::sim::wire
