#include "sim/damiao/damiao_bus_model.hpp"

namespace kestro::sim {
namespace {

// Status requests and register frames share this identifier and name the motor in the
// payload.
constexpr std::uint32_t SERVICE_ID = 0x7FF;
// Another node on the bus whose frames the motors ignore.
constexpr std::uint32_t FOREIGN_NODE_ID = 0x7FE;
constexpr std::uint8_t NOISE = 0xEE;

}  // namespace

std::vector<DamiaoMotorConfig> neck_motor_configs() {
    const auto motor = [](std::uint16_t id, float v_max, float t_max) {
        return DamiaoMotorConfig{
            .can_id = id, .master_id = id, .p_max = 12.5f, .v_max = v_max, .t_max = t_max};
    };
    return {motor(1, 30.0f, 10.0f), motor(2, 10.0f, 28.0f), motor(3, 10.0f, 28.0f)};
}

DamiaoBusModel::DamiaoBusModel(const std::vector<DamiaoMotorConfig>& motors) {
    for (const DamiaoMotorConfig& config : motors) motors_.emplace(config.can_id, config);
}

DamiaoBusModel::Reply DamiaoBusModel::handle(const BusFrame& frame, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    SimDamiaoMotor* motor = addressed(frame);
    if (motor == nullptr) return {};
    std::optional<BusFrame> answer = frame.id == SERVICE_ID ? motor->on_service(frame, now)
                                                            : motor->on_command(frame, now);
    if (!answer) return {};
    Reply reply{motor->faults.reply_delay, foreign_frames(*answer)};
    reply.frames.push_back(std::move(*answer));
    return reply;
}

void DamiaoBusModel::tick(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    for (auto& [can_id, motor] : motors_) motor.watch_timeout(now);
}

SimDamiaoMotor* DamiaoBusModel::addressed(const BusFrame& frame) {
    if (frame.extended || frame.fd) return nullptr;
    if (frame.id == SERVICE_ID) {
        if (frame.data.size() < 2) return nullptr;
        auto it = motors_.find(static_cast<std::uint16_t>(frame.data[0] | (frame.data[1] << 8)));
        return it == motors_.end() ? nullptr : &it->second;
    }
    // Each motor listens at can_id + 0x100 × (mode − 1) for its four control modes.
    for (auto& [can_id, motor] : motors_) {
        for (std::uint32_t mode_offset : {0x000, 0x100, 0x200, 0x300}) {
            if (frame.id == ((can_id + mode_offset) & 0x7FF)) return &motor;
        }
    }
    return nullptr;
}

std::vector<BusFrame> DamiaoBusModel::foreign_frames(const BusFrame& answer) const {
    std::vector<BusFrame> frames;
    for (unsigned i = 0; i < foreign_frames_; ++i) {
        if (i % 2 == 0) {
            // Same identifier value as the answer, but extended: a different identifier.
            frames.push_back(BusFrame{answer.id, true, std::vector<std::uint8_t>(8, NOISE), false});
        } else {
            // Shaped like a register reply, for another register.
            frames.push_back(BusFrame{FOREIGN_NODE_ID,
                                      false,
                                      {answer.data[0], answer.data[1], 0x33,
                                       static_cast<std::uint8_t>(answer.data[3] + 1), NOISE, NOISE,
                                       NOISE, NOISE},
                                      false});
        }
    }
    return frames;
}

void DamiaoBusModel::set_silent(std::uint16_t can_id, bool silent) {
    std::lock_guard lock(mutex_);
    motors_.at(can_id).faults.silent = silent;
}

void DamiaoBusModel::set_mode_locked(std::uint16_t can_id, bool locked) {
    std::lock_guard lock(mutex_);
    motors_.at(can_id).faults.mode_locked = locked;
}

void DamiaoBusModel::set_stuck(std::uint16_t can_id, bool stuck) {
    std::lock_guard lock(mutex_);
    motors_.at(can_id).faults.stuck = stuck;
}

void DamiaoBusModel::set_reply_delay(std::uint16_t can_id, std::chrono::nanoseconds delay) {
    std::lock_guard lock(mutex_);
    motors_.at(can_id).faults.reply_delay = delay;
}

void DamiaoBusModel::place(std::uint16_t can_id, double angle, int turns) {
    std::lock_guard lock(mutex_);
    motors_.at(can_id).place(angle, turns);
}

void DamiaoBusModel::set_fault(std::uint16_t can_id, std::optional<std::uint8_t> code) {
    std::lock_guard lock(mutex_);
    SimDamiaoMotor& motor = motors_.at(can_id);
    if (code) {
        motor.raise_fault(*code);
    } else {
        motor.clear_fault();
    }
}

void DamiaoBusModel::set_temperatures(std::uint16_t can_id, std::uint8_t driver,
                                      std::uint8_t motor) {
    std::lock_guard lock(mutex_);
    motors_.at(can_id).set_temperatures(driver, motor);
}

void DamiaoBusModel::set_foreign_frames(unsigned count) {
    std::lock_guard lock(mutex_);
    foreign_frames_ = count;
}

DamiaoMotorSnapshot DamiaoBusModel::snapshot(std::uint16_t can_id) const {
    std::lock_guard lock(mutex_);
    return motors_.at(can_id).snapshot();
}

std::optional<std::uint32_t> DamiaoBusModel::register_bits(std::uint16_t can_id,
                                                           std::uint8_t reg) const {
    std::lock_guard lock(mutex_);
    return motors_.at(can_id).register_bits(reg);
}

}  // namespace kestro::sim
