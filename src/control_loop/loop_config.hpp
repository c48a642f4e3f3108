// The settings a control loop starts with, checked before anything is opened.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"

namespace kestro::control_loop {

class LoopConfig {
public:
    // Refuses a zero period (the schedule would never advance) and zero attempts (no read
    // would ever be made).
    static Result<LoopConfig, std::string> make(std::optional<std::string> serialport,
                                                std::chrono::nanoseconds read_position_loop_period,
                                                std::string can_bus, std::uint64_t allowed_retries,
                                                std::optional<std::chrono::nanoseconds> stats_pub_period,
                                                std::chrono::nanoseconds voltage_rampup_timeout);

    const std::optional<std::string>& serialport() const { return serialport_; }
    std::chrono::nanoseconds read_position_loop_period() const { return period_; }
    const std::string& can_bus() const { return can_bus_; }
    std::uint64_t allowed_retries() const { return allowed_retries_; }
    const std::optional<std::chrono::nanoseconds>& stats_pub_period() const { return stats_pub_period_; }
    std::chrono::nanoseconds voltage_rampup_timeout() const { return voltage_rampup_timeout_; }

private:
    LoopConfig() = default;

    std::optional<std::string> serialport_;
    std::chrono::nanoseconds period_{};
    std::string can_bus_;
    std::uint64_t allowed_retries_ = 1;
    std::optional<std::chrono::nanoseconds> stats_pub_period_;
    std::chrono::nanoseconds voltage_rampup_timeout_{};
};

}  // namespace kestro::control_loop
