#include "sim/damiao/damiao_motor.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace kestro::sim {
namespace {

constexpr std::uint8_t STATUS_REQUEST = 0xCC;
constexpr std::uint8_t REGISTER_READ = 0x33;
constexpr std::uint8_t REGISTER_WRITE = 0x55;
constexpr std::uint32_t MIT_MODE = 1;
// Last byte of the FF ... FF frames that switch the motor rather than command it.
constexpr std::uint8_t ENABLE = 0xFC;
constexpr std::uint8_t DISABLE = 0xFD;
constexpr std::uint8_t CLEAR_ERROR = 0xFB;

// The gain ranges are fixed in the motor's firmware; only the others are registers.
constexpr double KP_RANGE = 500.0;
constexpr double KD_RANGE = 5.0;

// The shaft's own viscous drag (N·m·s/rad): keeps a motor commanded with kd 0 from moving
// infinitely fast.
constexpr double OWN_DRAG = 0.1;

constexpr double TURN = 2.0 * std::numbers::pi;

bool is_special(std::span<const std::uint8_t> payload, std::uint8_t last) {
    return std::all_of(payload.begin(), payload.end() - 1, [](auto b) { return b == 0xFF; }) &&
           payload.back() == last;
}

std::uint32_t little_endian(std::span<const std::uint8_t> bytes) {
    return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
           (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

}  // namespace

SimDamiaoMotor::SimDamiaoMotor(const DamiaoMotorConfig& config)
    : config_(config),
      registers_(config.can_id, config.master_id, config.control_mode, config.p_max,
                 config.v_max, config.t_max),
      angle_(config.angle),
      turns_(config.turns) {}

std::optional<BusFrame> SimDamiaoMotor::on_command(const BusFrame& frame,
                                                   Clock::time_point now) {
    if (faults.silent || frame.data.size() != 8) return std::nullopt;
    heard(now);
    advance(now);
    last_frame_ = frame;
    const std::uint32_t mode = (frame.id - config_.can_id) / 0x100 + 1;
    if (mode == MIT_MODE && is_special(frame.data, ENABLE)) {
        // A faulted motor stays off until its fault is cleared, and says so in its answer.
        if (!fault_) enabled_ = true;
        active_mit_.reset();
    } else if (mode == MIT_MODE && is_special(frame.data, DISABLE)) {
        enabled_ = false;
        active_mit_.reset();
    } else if (mode == MIT_MODE && is_special(frame.data, CLEAR_ERROR)) {
        clear_fault();
    } else if (mode == MIT_MODE && control_mode() == MIT_MODE) {
        last_mit_ = mit_wire::unpack_command(ranges(), frame.data);
        active_mit_ = last_mit_;
    }
    return feedback_frame();
}

std::optional<BusFrame> SimDamiaoMotor::on_service(const BusFrame& frame,
                                                   Clock::time_point now) {
    if (faults.silent || frame.data.size() != 8) return std::nullopt;
    heard(now);
    advance(now);
    last_frame_ = frame;
    const std::uint8_t operation = frame.data[2];
    const std::uint8_t reg = frame.data[3];
    if (operation == STATUS_REQUEST) return feedback_frame();
    if (!registers_.exists(reg)) return std::nullopt;
    if (operation == REGISTER_READ) {
        ++register_reads_;
        return register_reply(REGISTER_READ, reg);
    }
    if (operation == REGISTER_WRITE) {
        ++register_writes_;
        const std::uint32_t value = little_endian(std::span(frame.data).subspan(4));
        if (accepts_write(reg, value)) registers_.store(reg, value);
        return register_reply(REGISTER_WRITE, reg);
    }
    return std::nullopt;
}

DamiaoMotorSnapshot SimDamiaoMotor::snapshot() const {
    return DamiaoMotorSnapshot{
        .position = reported_position(),
        .velocity = velocity_,
        .enabled = enabled_,
        .status = status(),
        .control_mode = control_mode(),
        .last_mit = last_mit_,
        .last_frame = last_frame_,
        .register_reads = register_reads_,
        .register_writes = register_writes_,
    };
}

void SimDamiaoMotor::place(double angle, int turns) {
    angle_ = angle;
    turns_ = turns;
    velocity_ = 0.0;
    active_mit_.reset();
}

void SimDamiaoMotor::raise_fault(std::uint8_t code) {
    if (code < FIRST_FAULT_CODE || code > LAST_FAULT_CODE) {
        throw std::invalid_argument("fault state codes are 8 to 15");
    }
    fault_ = code;
    // The drive is cut: the shaft stops (the model has no inertia) and the command is
    // forgotten, so the motor holds still until enabled and commanded again.
    enabled_ = false;
    active_mit_.reset();
    velocity_ = 0.0;
    torque_ = 0.0;
}

// A faulted motor cannot have been enabled since, so it is left disabled.
void SimDamiaoMotor::clear_fault() { fault_.reset(); }

// Only an enabled motor watches: a disabled one has no torque to drop, and a cleared one is
// disabled until the next enable frame restarts the watch.
void SimDamiaoMotor::watch_timeout(Clock::time_point now) {
    const std::uint32_t steps = registers_.bits(damiao_reg::TIMEOUT).value_or(0);
    if (!enabled_ || steps == 0 || !last_heard_) return;
    const Clock::time_point deadline = *last_heard_ + damiao_reg::TIMEOUT_UNIT * steps;
    if (now < deadline) return;
    // The shaft was driven until the deadline, however late the check comes.
    advance(deadline);
    raise_fault(COMMUNICATION_LOST);
}

void SimDamiaoMotor::set_temperatures(std::uint8_t driver, std::uint8_t motor) {
    // Kept in the temperature registers, so that reading them agrees with the feedback.
    registers_.store_float(damiao_reg::Tpcb, driver);
    registers_.store_float(damiao_reg::Tmtr, motor);
}

MitRanges SimDamiaoMotor::ranges() const {
    return MitRanges{registers_.float_value(damiao_reg::PMAX),
                     registers_.float_value(damiao_reg::VMAX), KP_RANGE, KD_RANGE,
                     registers_.float_value(damiao_reg::TMAX)};
}

double SimDamiaoMotor::reported_position() const { return angle_ + turns_ * TURN; }

std::uint8_t SimDamiaoMotor::status() const {
    if (fault_) return *fault_;
    return enabled_ ? 1 : 0;
}

std::uint32_t SimDamiaoMotor::control_mode() const {
    return registers_.bits(damiao_reg::CTRL_MODE).value_or(0);
}

// A frame that comes after the deadline finds the motor already dropped out.
void SimDamiaoMotor::heard(Clock::time_point now) {
    watch_timeout(now);
    last_heard_ = now;
}

void SimDamiaoMotor::advance(Clock::time_point now) {
    if (last_update_ && now > *last_update_) {
        move(std::chrono::duration<double>(now - *last_update_).count());
    }
    last_update_ = now;
    const auto position = static_cast<float>(reported_position());
    registers_.store_float(damiao_reg::P_M, position);
    registers_.store_float(damiao_reg::XOUT, position);
}

// A first-order model of the MIT impedance law
//   (kd + drag) · velocity = kp · (target − angle) + kd · v_des + torque_ff,
// solved exactly over the step, so the position approaches the target with the time constant
// (kd + drag) / kp, never faster than VMAX allows.
void SimDamiaoMotor::move(double seconds) {
    velocity_ = 0.0;
    torque_ = 0.0;
    if (!enabled_ || control_mode() != MIT_MODE || !active_mit_) return;
    const SimMitCommand& c = *active_mit_;
    const double target = c.position - turns_ * TURN;
    if (!faults.stuck) {
        const double drag = c.kd + OWN_DRAG;
        const double push = c.kd * c.velocity + c.torque;
        double next = 0.0;
        if (c.kp > 0.0) {
            const double rest = target + push / c.kp;
            next = rest + (angle_ - rest) * std::exp(-c.kp / drag * seconds);
        } else {
            next = angle_ + push / drag * seconds;
        }
        const double max_step = ranges().v_max * seconds;
        next = std::clamp(next, angle_ - max_step, angle_ + max_step);
        velocity_ = (next - angle_) / seconds;
        angle_ = next;
    }
    const double t_max = ranges().t_max;
    torque_ = std::clamp(c.kp * (target - angle_) + c.kd * (c.velocity - velocity_) + c.torque,
                         -t_max, t_max);
}

bool SimDamiaoMotor::accepts_write(std::uint8_t reg, std::uint32_t value) const {
    if (!registers_.writable(reg)) return false;
    if (reg != damiao_reg::CTRL_MODE) return true;
    return !faults.mode_locked && value >= 1 && value <= 4;
}

BusFrame SimDamiaoMotor::feedback_frame() const {
    const SimFeedback feedback{
        .motor_id = static_cast<std::uint8_t>(config_.can_id & 0x0F),
        .status = status(),
        .position = reported_position(),
        .velocity = velocity_,
        .torque = torque_,
        .temp_driver = static_cast<std::uint8_t>(registers_.float_value(damiao_reg::Tpcb)),
        .temp_motor = static_cast<std::uint8_t>(registers_.float_value(damiao_reg::Tmtr)),
    };
    const auto payload = mit_wire::pack_feedback(ranges(), feedback);
    return BusFrame{config_.master_id, false, {payload.begin(), payload.end()}, false};
}

BusFrame SimDamiaoMotor::register_reply(std::uint8_t operation, std::uint8_t reg) const {
    const std::uint32_t value = registers_.bits(reg).value_or(0);
    std::vector<std::uint8_t> data{static_cast<std::uint8_t>(config_.can_id),
                                   static_cast<std::uint8_t>(config_.can_id >> 8), operation, reg};
    for (int shift = 0; shift < 32; shift += 8) {
        data.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return BusFrame{config_.master_id, false, std::move(data), false};
}

}  // namespace kestro::sim
