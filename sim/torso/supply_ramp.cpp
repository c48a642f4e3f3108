#include "sim/torso/supply_ramp.hpp"

#include <cmath>

#include "sim/feetech/servo.hpp"

namespace kestro::sim::torso {
namespace {

// Often enough that a reader polling the supply sees it climb in small steps.
constexpr auto STEP_INTERVAL = std::chrono::milliseconds(10);

}  // namespace

SupplyRamp::SupplyRamp(FeetechBusModel& servos) : servos_(servos) {
    thread_ = std::thread([this] { run(); });
}

SupplyRamp::~SupplyRamp() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SupplyRamp::start(std::uint8_t reference, std::uint8_t target,
                       std::chrono::milliseconds duration) {
    const std::uint8_t from =
        servos_.register_value(reference, feetech_address::PRESENT_VOLTAGE).value_or(target);
    {
        std::lock_guard lock(mutex_);
        ramp_ = Ramp{from, target, Clock::now(), duration};
    }
    changed_.notify_all();
}

void SupplyRamp::cancel() {
    std::lock_guard lock(mutex_);
    ramp_.reset();
}

void SupplyRamp::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!ramp_) {
            changed_.wait(lock);
            continue;
        }
        const auto elapsed = Clock::now() - ramp_->start;
        const double share =
            elapsed >= ramp_->duration
                ? 1.0
                : std::chrono::duration<double>(elapsed) / ramp_->duration;
        const double value = ramp_->from + (ramp_->to - ramp_->from) * share;
        servos_.set_supply_voltage(static_cast<std::uint8_t>(std::lround(value)));
        if (share >= 1.0) ramp_.reset();
        changed_.wait_for(lock, STEP_INTERVAL);
    }
}

}  // namespace kestro::sim::torso
