// One device at a time, for bring-up and diagnostics: single-servo reads (a group read fails
// as a whole when one servo is silent, which says nothing about the others) and the full state
// and registers of one neck motor. Free functions on the controller's public operations, plus
// a torso whose CAN transport the controller shares with these per-motor reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/can_transport.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {

// What one servo reports.
struct ServoState {
    double position;       // rad
    std::uint8_t voltage;  // raw, 0.1 V
    bool torque;
};

// Present position, voltage and torque state of servo `id`, with three single reads.
Outcome<ServoState> read_servo_state(KestroMotorController& torso, std::uint8_t id);

// One register of servo `id`, `width` (1 or 2) bytes little-endian, unsigned as stored.
Outcome<std::uint16_t> read_servo_register(KestroMotorController& torso, std::uint8_t id,
                                           std::uint8_t address, std::uint8_t width);

// A controller and the CAN transport it uses, shared so that single neck motors can be asked
// directly. Both must be used from one thread at a time, since replies are matched by
// identifier and other frames are dropped.
class DiagnosticTorso {
public:
    // As KestroMotorController::create, with the same error texts. Without `can_bus` the neck
    // is absent: every neck exchange fails at once, with nothing sent.
    static Outcome<DiagnosticTorso> open(const std::optional<std::string>& serialport,
                                         const std::optional<std::string>& can_bus);
    // On a CAN transport that is already open (simulated buses).
    static Outcome<DiagnosticTorso> open(const std::optional<std::string>& serialport,
                                         std::unique_ptr<can_motor::CanTransport> can);

    KestroMotorController& controller() { return controller_; }

    // Neck joint `index`'s (0 to 2) full feedback state, asked for without commanding it.
    Outcome<can_motor::damiao::MitState> neck_motor_state(std::size_t index);
    // One register of neck joint `index`'s motor, typed by the register table.
    Outcome<can_motor::damiao::RegisterValue> read_neck_register(std::size_t index,
                                                                 std::uint8_t reg);

private:
    DiagnosticTorso(KestroMotorController controller,
                    std::shared_ptr<can_motor::CanTransport> can)
        : controller_(std::move(controller)), can_(std::move(can)) {}

    Outcome<can_motor::damiao::Damiao> motor(std::size_t index) const;

    KestroMotorController controller_;
    std::shared_ptr<can_motor::CanTransport> can_;
};

}  // namespace kestro::controller
