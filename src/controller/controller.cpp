#include "src/controller/controller.hpp"

#include "can_motor/transport/socketcan_backend.hpp"

namespace kestro::controller {
namespace {

Outcome<std::optional<servo_bus::SerialPort>> open_serial_port(
    const std::optional<std::string>& serialport) {
    if (!serialport) return std::optional<servo_bus::SerialPort>();
    KESTRO_TRY_ASSIGN(servo_bus::SerialPort opened, servo_bus::SerialPort::open(*serialport));
    return std::optional(std::move(opened));
}

Outcome<std::array<can_motor::damiao::Damiao, 3>> neck_motor_records() {
    std::vector<can_motor::damiao::Damiao> records;
    for (const NeckMotorInfo& motor : NECK_MOTORS) {
        auto record = can_motor::damiao::Damiao::create(motor.timeout, motor.limits,
                                                        motor.can_id, motor.master_id);
        if (!record) return fail(ControllerError(record.error()));
        records.push_back(*record);
    }
    return std::array{records[0], records[1], records[2]};
}

}  // namespace

KestroMotorController::KestroMotorController(std::optional<servo_bus::SerialPort> serial_port,
                                             std::unique_ptr<can_motor::CanTransport> can,
                                             std::array<can_motor::damiao::Damiao, 3> neck_motors)
    : can_(std::move(can)), serial_port_(std::move(serial_port)), neck_motors_(neck_motors) {
    feetech_.set_observer(health_.get());
}

Outcome<KestroMotorController> KestroMotorController::create(
    const std::optional<std::string>& serialport, const std::string& can_bus) {
    // The serial port comes first: when it cannot be opened the CAN bus is never touched.
    KESTRO_TRY_ASSIGN(auto port, open_serial_port(serialport));
    auto can = can_motor::SocketCanTransport::open(can_bus);
    if (!can) {
        return fail(ControllerError("failed to open CAN bus '" + can_bus +
                                    "': " + can.error().to_string()));
    }
    KESTRO_TRY_ASSIGN(const auto neck_motors, neck_motor_records());
    return KestroMotorController(
        std::move(port), std::make_unique<can_motor::SocketCanTransport>(std::move(*can)),
        neck_motors);
}

Outcome<KestroMotorController> KestroMotorController::create(
    const std::optional<std::string>& serialport, std::unique_ptr<can_motor::CanTransport> can) {
    KESTRO_TRY_ASSIGN(auto port, open_serial_port(serialport));
    KESTRO_TRY_ASSIGN(const auto neck_motors, neck_motor_records());
    return KestroMotorController(std::move(port), std::move(can), neck_motors);
}

Outcome<servo_bus::SerialPort*> KestroMotorController::serial() {
    if (!serial_port_) return fail(ControllerError::no_serial_port());
    return &*serial_port_;
}

}  // namespace kestro::controller
