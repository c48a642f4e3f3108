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
    // would ever be made), and a neck watchdog the motors cannot hold or the ticks cannot feed.
    static Result<LoopConfig, std::string> make(std::optional<std::string> serialport,
                                                std::chrono::nanoseconds read_position_loop_period,
                                                std::string can_bus, std::uint64_t allowed_retries,
                                                std::optional<std::chrono::nanoseconds> stats_pub_period,
                                                std::chrono::nanoseconds voltage_rampup_timeout,
                                                std::optional<std::chrono::nanoseconds> neck_watchdog = std::nullopt);

    const std::optional<std::string>& serialport() const { return serialport_; }
    std::chrono::nanoseconds read_position_loop_period() const { return period_; }
    const std::string& can_bus() const { return can_bus_; }
    std::uint64_t allowed_retries() const { return allowed_retries_; }
    const std::optional<std::chrono::nanoseconds>& stats_pub_period() const { return stats_pub_period_; }
    std::chrono::nanoseconds voltage_rampup_timeout() const { return voltage_rampup_timeout_; }
    // The neck motors' own time-out, in their TIMEOUT register's units; none: not set.
    const std::optional<std::uint32_t>& neck_watchdog_units() const { return neck_watchdog_units_; }

private:
    LoopConfig() = default;

    std::optional<std::string> serialport_;
    std::chrono::nanoseconds period_{};
    std::string can_bus_;
    std::uint64_t allowed_retries_ = 1;
    std::optional<std::chrono::nanoseconds> stats_pub_period_;
    std::chrono::nanoseconds voltage_rampup_timeout_{};
    std::optional<std::uint32_t> neck_watchdog_units_;
};

}  // namespace kestro::control_loop
