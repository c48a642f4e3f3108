// Single-device reads against the simulated torso: one servo or one neck motor at a time, so
// that a silent neighbour does not hide what the others report.
#include <gtest/gtest.h>

#include "src/controller/diagnostics.hpp"
#include "src/controller/tests/sim_torso.hpp"

namespace kestro::controller {
namespace {

TEST(ServoDiagnostics, ReadsOneServoWhileAnotherIsSilent) {
    SimTorso torso = SimTorso::start();
    KestroMotorController controller = torso.controller();
    auto& servos = torso.servos->model();
    servos.set_speed(0);  // the shaft stays where it is put, torque on or not
    servos.set_present_position(3, 3072);  // a quarter turn past zero
    servos.set_voltage(3, 118);
    servos.set_torque_enabled(3, true);
    servos.set_silent(2, true);

    auto state = read_servo_state(controller, 3);
    ASSERT_TRUE(state) << state.error().message();
    EXPECT_NEAR(state->position, 3.141592653589793 / 2, 1e-12);
    EXPECT_EQ(state->voltage, 118);
    EXPECT_TRUE(state->torque);

    auto silent = read_servo_state(controller, 2);
    ASSERT_FALSE(silent);
    EXPECT_EQ(silent.error().message(), "Operation timed out");

    // Two bytes little-endian, as stored: the offset register's sign bit is not interpreted.
    servos.set_register(1, 31, 0x8B);
    servos.set_register(1, 32, 0x0A);
    auto offset = read_servo_register(controller, 1, 31, 2);
    ASSERT_TRUE(offset) << offset.error().message();
    EXPECT_EQ(*offset, 0x0A8B);
}

TEST(ServoDiagnostics, NeedsTheSerialPort) {
    SimTorso torso = SimTorso::start();
    KestroMotorController controller = torso.controller(false);
    auto state = read_servo_state(controller, 1);
    ASSERT_FALSE(state);
    EXPECT_EQ(state.error().message(), NO_SERIAL_PORT);
}

TEST(NeckDiagnostics, AsksOneMotorForItsStateAndRegistersSharingTheControllersBus) {
    SimTorso torso = SimTorso::start();
    auto opened = DiagnosticTorso::open(std::nullopt, torso.take_neck_transport());
    ASSERT_TRUE(opened) << opened.error().message();
    DiagnosticTorso& diag = *opened;

    auto state = diag.neck_motor_state(1);
    ASSERT_TRUE(state) << state.error().message();
    EXPECT_EQ(state->motor_id, 2);
    EXPECT_NEAR(state->position, 0.0, 1e-3);

    auto mode = diag.read_neck_register(2, can_motor::damiao::CTRL_MODE);
    ASSERT_TRUE(mode) << mode.error().message();
    ASSERT_TRUE(mode->as_uint32());
    auto unknown = diag.read_neck_register(0, 40);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().message(),
              "neck_yaw: register 40: register 40 is not in the Damiao register table");

    // The controller uses the same bus in between.
    EXPECT_TRUE(diag.controller().check_missing_neck_motors().empty());

    torso.neck->set_silent(3, true);
    auto silent = diag.neck_motor_state(2);
    ASSERT_FALSE(silent);
    EXPECT_EQ(silent.error().message(), "neck_roll: transport error: timeout waiting for frame");
    EXPECT_FALSE(diag.neck_motor_state(3));
}

TEST(NeckDiagnostics, WithoutACanBusEveryNeckExchangeFailsAtOnce) {
    auto opened = DiagnosticTorso::open(std::nullopt, std::optional<std::string>());
    ASSERT_TRUE(opened) << opened.error().message();
    auto state = opened->neck_motor_state(0);
    ASSERT_FALSE(state);
    EXPECT_EQ(state.error().message(), "neck_yaw: transport error: backend error: CAN bus not configured");
}

}  // namespace
}  // namespace kestro::controller
