#include "src/controller/diagnostics.hpp"

#include "can_motor/transport/socketcan_backend.hpp"
#include "servo_bus/servo/feetech/registers.hpp"

namespace kestro::controller {
namespace {

namespace regs = servo_bus::feetech_registers;

// Hands every call on to a transport that someone else also uses.
class SharedTransport final : public can_motor::CanTransport {
public:
    explicit SharedTransport(std::shared_ptr<can_motor::CanTransport> inner)
        : inner_(std::move(inner)) {}
    Result<void, can_motor::CanError> send(const can_motor::CanFrame& frame) override {
        return inner_->send(frame);
    }
    Result<can_motor::CanFrame, can_motor::CanError> recv(
        std::optional<std::chrono::nanoseconds> timeout) override {
        return inner_->recv(timeout);
    }

private:
    std::shared_ptr<can_motor::CanTransport> inner_;
};

// Stands in for a CAN bus that was left out on purpose: nothing goes out, nothing comes in.
class AbsentTransport final : public can_motor::CanTransport {
public:
    Result<void, can_motor::CanError> send(const can_motor::CanFrame&) override {
        return fail(not_configured());
    }
    Result<can_motor::CanFrame, can_motor::CanError> recv(
        std::optional<std::chrono::nanoseconds>) override {
        return fail(not_configured());
    }

private:
    static can_motor::CanError not_configured() {
        return can_motor::CanError::backend(
            IoError::custom(IoErrorKind::Unsupported, "CAN bus not configured"));
    }
};

std::string servo_label(std::uint8_t id) { return "servo " + std::to_string(id) + ": "; }

}  // namespace

Outcome<std::uint16_t> read_servo_register(KestroMotorController& torso, std::uint8_t id,
                                           std::uint8_t address, std::uint8_t width) {
    KESTRO_TRY_ASSIGN(const auto bytes, torso.read_raw_bytes(id, address, width));
    if (bytes.size() != width) {
        return fail(ControllerError(servo_label(id) + "register " + std::to_string(address) +
                                    ": expected " + std::to_string(width) + " bytes, got " +
                                    std::to_string(bytes.size())));
    }
    std::uint16_t value = bytes[0];
    if (width == 2) value = static_cast<std::uint16_t>(value | (bytes[1] << 8));
    return value;
}

Outcome<ServoState> read_servo_state(KestroMotorController& torso, std::uint8_t id) {
    KESTRO_TRY_ASSIGN(const std::uint16_t position,
                      read_servo_register(torso, id, regs::PRESENT_POSITION.address,
                                          regs::PRESENT_POSITION.width));
    KESTRO_TRY_ASSIGN(const std::uint16_t voltage,
                      read_servo_register(torso, id, regs::PRESENT_VOLTAGE.address,
                                          regs::PRESENT_VOLTAGE.width));
    KESTRO_TRY_ASSIGN(const std::uint16_t torque,
                      read_servo_register(torso, id, regs::TORQUE_ENABLE.address,
                                          regs::TORQUE_ENABLE.width));
    return ServoState{regs::position_to_radians(static_cast<std::int16_t>(position)),
                      static_cast<std::uint8_t>(voltage),
                      regs::byte_to_bool(static_cast<std::uint8_t>(torque))};
}

Outcome<DiagnosticTorso> DiagnosticTorso::open(const std::optional<std::string>& serialport,
                                               const std::optional<std::string>& can_bus) {
    if (!can_bus) return open(serialport, std::make_unique<AbsentTransport>());
    auto can = can_motor::SocketCanTransport::open(*can_bus);
    if (!can) {
        // The controller reports a serial failure before a CAN one; so does this.
        if (serialport) KESTRO_TRY(servo_bus::SerialPort::open(*serialport));
        return fail(ControllerError("failed to open CAN bus '" + *can_bus +
                                    "': " + can.error().to_string()));
    }
    return open(serialport, std::make_unique<can_motor::SocketCanTransport>(std::move(*can)));
}

Outcome<DiagnosticTorso> DiagnosticTorso::open(const std::optional<std::string>& serialport,
                                               std::unique_ptr<can_motor::CanTransport> can) {
    std::shared_ptr<can_motor::CanTransport> shared = std::move(can);
    KESTRO_TRY_ASSIGN(auto created, KestroMotorController::create(
                                        serialport, std::make_unique<SharedTransport>(shared)));
    return DiagnosticTorso(std::move(created), std::move(shared));
}

Outcome<can_motor::damiao::Damiao> DiagnosticTorso::motor(std::size_t index) const {
    KESTRO_TRY(KestroMotorController::check_neck_index(index));
    const NeckMotorInfo& info = NECK_MOTORS[index];
    auto record =
        can_motor::damiao::Damiao::create(info.timeout, info.limits, info.can_id, info.master_id);
    if (!record) return fail(ControllerError(record.error()));
    return *record;
}

Outcome<can_motor::damiao::MitState> DiagnosticTorso::neck_motor_state(std::size_t index) {
    KESTRO_TRY_ASSIGN(const auto record, motor(index));
    auto state = record.request_feedback(*can_);
    if (!state) {
        return fail(ControllerError(std::string(NECK_JOINT_NAMES[index]) + ": " +
                                    state.error().to_string()));
    }
    return *state;
}

Outcome<can_motor::damiao::RegisterValue> DiagnosticTorso::read_neck_register(std::size_t index,
                                                                              std::uint8_t reg) {
    KESTRO_TRY_ASSIGN(const auto record, motor(index));
    auto value = record.read_register(*can_, reg);
    if (!value) {
        return fail(ControllerError(std::string(NECK_JOINT_NAMES[index]) + ": register " +
                                    std::to_string(reg) + ": " + value.error().to_string()));
    }
    return *value;
}

}  // namespace kestro::controller
