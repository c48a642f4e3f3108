#include "src/control_loop/loop_config.hpp"

#include <limits>

#include "common/text.hpp"

namespace kestro::control_loop {
namespace {

// One unit of a neck motor's TIMEOUT register.
constexpr std::chrono::nanoseconds WATCHDOG_UNIT = std::chrono::microseconds(50);

// The watchdog in register units, rounded to the nearest. It must be longer than the period,
// or the motors would drop torque between two ticks that feed them.
Result<std::uint32_t, std::string> watchdog_in_units(std::chrono::nanoseconds watchdog,
                                                     std::chrono::nanoseconds period) {
    const std::string given = "neck_watchdog " + text::duration(watchdog);
    if (watchdog < std::chrono::nanoseconds::zero()) return fail(given + " is negative");
    // Rounded without adding first, so that the longest duration cannot overflow.
    const auto units = watchdog / WATCHDOG_UNIT + (watchdog % WATCHDOG_UNIT >= WATCHDOG_UNIT / 2 ? 1 : 0);
    if (units == 0) return fail(given + " is shorter than the motors' unit of 50µs");
    if (units > std::numeric_limits<std::uint32_t>::max()) {
        return fail(given + " is longer than the motors' TIMEOUT register holds");
    }
    if (watchdog <= period) {
        return fail(given + " must be longer than read_position_loop_period " +
                    text::duration(period) + ", whose ticks keep it fed");
    }
    return static_cast<std::uint32_t>(units);
}

}  // namespace

Result<LoopConfig, std::string> LoopConfig::make(
    std::optional<std::string> serialport, std::chrono::nanoseconds read_position_loop_period,
    std::string can_bus, std::uint64_t allowed_retries,
    std::optional<std::chrono::nanoseconds> stats_pub_period,
    std::chrono::nanoseconds voltage_rampup_timeout,
    std::optional<std::chrono::nanoseconds> neck_watchdog) {
    if (read_position_loop_period <= std::chrono::nanoseconds::zero()) {
        return fail(std::string("read_position_loop_period must be greater than zero"));
    }
    if (allowed_retries == 0) {
        return fail(std::string("allowed_retries must be at least 1 (it counts every attempt)"));
    }
    std::optional<std::uint32_t> watchdog_units;
    if (neck_watchdog) {
        KESTRO_TRY_ASSIGN(watchdog_units, watchdog_in_units(*neck_watchdog, read_position_loop_period));
    }
    LoopConfig config;
    config.serialport_ = std::move(serialport);
    config.period_ = read_position_loop_period;
    config.can_bus_ = std::move(can_bus);
    config.allowed_retries_ = allowed_retries;
    config.stats_pub_period_ = stats_pub_period;
    config.voltage_rampup_timeout_ = voltage_rampup_timeout;
    config.neck_watchdog_units_ = watchdog_units;
    return config;
}

}  // namespace kestro::control_loop
