#include "src/control_loop/loop_config.hpp"

namespace kestro::control_loop {

Result<LoopConfig, std::string> LoopConfig::make(
    std::optional<std::string> serialport, std::chrono::nanoseconds read_position_loop_period,
    std::string can_bus, std::uint64_t allowed_retries,
    std::optional<std::chrono::nanoseconds> stats_pub_period,
    std::chrono::nanoseconds voltage_rampup_timeout) {
    if (read_position_loop_period <= std::chrono::nanoseconds::zero()) {
        return fail(std::string("read_position_loop_period must be greater than zero"));
    }
    if (allowed_retries == 0) {
        return fail(std::string("allowed_retries must be at least 1 (it counts every attempt)"));
    }
    LoopConfig config;
    config.serialport_ = std::move(serialport);
    config.period_ = read_position_loop_period;
    config.can_bus_ = std::move(can_bus);
    config.allowed_retries_ = allowed_retries;
    config.stats_pub_period_ = stats_pub_period;
    config.voltage_rampup_timeout_ = voltage_rampup_timeout;
    return config;
}

}  // namespace kestro::control_loop
