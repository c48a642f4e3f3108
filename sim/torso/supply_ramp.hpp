// The servos' supply voltage rising over time, as the 12 V rail does after power-on, so that
// code waiting for the supply can be run against a slow start.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/feetech/bus_model.hpp"

namespace kestro::sim::torso {

class SupplyRamp {
public:
    using Clock = std::chrono::steady_clock;

    // The normal supply, 12.0 V, in 0.1 V.
    static constexpr std::uint8_t NORMAL = 120;

    explicit SupplyRamp(FeetechBusModel& servos);
    SupplyRamp(const SupplyRamp&) = delete;
    SupplyRamp& operator=(const SupplyRamp&) = delete;
    ~SupplyRamp();

    // Moves every servo's supply from what servo `reference` reports now to `target`, in a
    // straight line over `duration`.
    void start(std::uint8_t reference, std::uint8_t target, std::chrono::milliseconds duration);
    // Leaves the supply where it is now.
    void cancel();

private:
    struct Ramp {
        std::uint8_t from;
        std::uint8_t to;
        Clock::time_point start;
        std::chrono::milliseconds duration;
    };

    void run();

    FeetechBusModel& servos_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Ramp> ramp_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace kestro::sim::torso
