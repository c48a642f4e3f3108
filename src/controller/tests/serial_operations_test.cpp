// The controller's serial-side operations against seven simulated servos on a pseudo-terminal.
#include <cmath>

#include "src/controller/tests/serial_fixture.hpp"

namespace kestro::controller {
namespace {

TEST_F(SerialOperations, MissingIdsAreTheSilentServosInPingOrder) {
    EXPECT_TRUE(controller().check_missing_ids().empty());
    servos().set_silent(7, true);
    servos().set_silent(5, true);
    EXPECT_EQ(controller().check_missing_ids(), (std::vector<std::uint8_t>{5, 7}));
}

TEST_F(SerialOperations, AllPositionsComeInTableOrderFromTwoGroupReads) {
    for (std::uint8_t id = 1; id <= 7; ++id) servos().set_present_position(id, 2048 + 100 * id);
    auto positions = controller().read_all_positions();
    ASSERT_TRUE(positions) << positions.error().message();
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_NEAR((*positions)[i], 100.0 * (i + 1) * 6.283185307179586 / 4096, 1e-12) << i;
    }
    auto requests = servos().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].instruction, instruction::SYNC_READ);
    EXPECT_EQ(requests[0].params, (std::vector<std::uint8_t>{56, 2, 1, 2, 3, 4}));
    EXPECT_EQ(requests[1].params, (std::vector<std::uint8_t>{56, 2, 5, 6, 7}));
}

TEST_F(SerialOperations, VoltagesAndTorqueStateCoverAllSevenServos) {
    for (std::uint8_t id = 1; id <= 7; ++id) servos().set_voltage(id, 110 + id);
    auto voltages = controller().read_all_voltages();
    ASSERT_TRUE(voltages);
    EXPECT_EQ(*voltages, (std::array<std::uint8_t, 7>{111, 112, 113, 114, 115, 116, 117}));

    for (std::uint8_t id = 1; id <= 7; ++id) servos().set_torque_enabled(id, true);
    EXPECT_EQ(controller().is_torque_enabled(), true);
    servos().set_torque_enabled(6, false);
    EXPECT_EQ(controller().is_torque_enabled(), false);
}

TEST_F(SerialOperations, AGroupReadTimeOutIsPassedOnAsARetryableIoError) {
    servos().set_silent(4, true);
    auto positions = controller().read_all_positions();
    ASSERT_FALSE(positions);
    EXPECT_EQ(positions.error().message(), "Operation timed out");
    ASSERT_NE(positions.error().io_error(), nullptr);
    EXPECT_EQ(positions.error().io_error()->kind(), IoErrorKind::TimedOut);
    EXPECT_FALSE(controller().is_torque_enabled());
}

TEST_F(SerialOperations, GoalsForAllSevenGoToTheArmsFirstThenTheNose) {
    std::array<double, 7> goals{0.0, 1.0, -1.0, 0.5, -0.5, 0.25, 3.141592653589793};
    ASSERT_TRUE(controller().set_all_goal_positions(goals));
    auto requests = wait_for_requests(2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].params[0], 42);
    EXPECT_EQ(requests[0].params[2], 1);
    EXPECT_EQ(requests[1].params[2], 5);
    EXPECT_EQ(servos().goal_position(2), 2699);  // 1.0 rad, truncated from 2699.9
    EXPECT_EQ(servos().goal_position(7), 4096);
    EXPECT_EQ(servos().goal_position(5), 1722);  // (-0.5 + π) × 4096 / 2π = 1722.04
}

TEST_F(SerialOperations, RawPacketsPassThroughAndASilentBusGivesNothingAfterTenMilliseconds) {
    std::array<std::uint8_t, 6> ping{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
    auto reply = controller().write_raw_packet(ping);
    ASSERT_TRUE(reply) << reply.error().message();
    EXPECT_EQ(*reply, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}));

    servos().set_silent(1, true);
    auto start = Clock::now();
    auto nothing = controller().write_raw_packet(ping);
    auto waited = Clock::now() - start;
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    EXPECT_GE(waited, 10ms);
    EXPECT_LT(waited, 200ms);
}

TEST_F(SerialOperations, RebootLogsEachServoAndWaitsForTheFirstPingPass) {
    auto start = Clock::now();
    ASSERT_TRUE(controller().reboot(1s));
    EXPECT_GE(Clock::now() - start, 100ms);
    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[0].message, "Rebooting motor left_arm_pitch (id=1)");
    EXPECT_EQ(records[6].message, "Rebooting motor nose_right (id=7)");
    EXPECT_EQ(records[6].level, log::Level::Warn);
    EXPECT_EQ(records[6].target, "kestro_motor_controller::controller");

    auto requests = servos().requests();
    ASSERT_EQ(requests.size(), 14u) << "seven reboot instructions, then one ping pass";
    for (std::uint8_t i = 0; i < 7; ++i) {
        EXPECT_EQ(requests[i], (Request{static_cast<std::uint8_t>(i + 1), instruction::REBOOT, {}}));
        EXPECT_EQ(requests[7 + i], (Request{static_cast<std::uint8_t>(i + 1), instruction::PING, {}}));
    }
}

TEST_F(SerialOperations, RebootNamesTheServosThatStaySilent) {
    servos().set_silent(6, true);
    auto rebooted = controller().reboot(300ms);
    ASSERT_FALSE(rebooted);
    EXPECT_EQ(rebooted.error().message(),
              "Some motors did not respond after reboot ([\"nose_left\"] - ids: [6])");
    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[7].message, "Motor nose_left (id=6) did not respond after reboot within timeout");

    servos().set_silent(6, false);
    auto start = Clock::now();
    auto immediate = controller().reboot(0s);
    EXPECT_LT(Clock::now() - start, 100ms) << "a zero time-out neither sleeps nor pings";
    ASSERT_FALSE(immediate);
    EXPECT_EQ(immediate.error().message(),
              "Some motors did not respond after reboot ([\"left_arm_pitch\", \"left_arm_yaw\", "
              "\"right_arm_pitch\", \"right_arm_yaw\", \"nose_top\", \"nose_left\", "
              "\"nose_right\"] - ids: [1, 2, 3, 4, 5, 6, 7])");
}

TEST_F(SerialOperations, ArmHomeMakesTheCurrentPoseZeroAndLeavesTorqueOff) {
    const std::array<int, 4> encoder{2500, 1700, 3000, 2048};
    for (std::uint8_t id = 1; id <= 4; ++id) {
        // Holding its pose: the goal is where the shaft is, so torque moves nothing.
        servos().set_encoder_position(id, encoder[id - 1]);
        servos().set_register(id, 42, encoder[id - 1] & 0xFF);
        servos().set_register(id, 43, encoder[id - 1] >> 8);
        servos().set_torque_enabled(id, true);
    }
    auto home = controller().set_arm_home(0.05);
    ASSERT_TRUE(home) << home.error().message();
    for (std::uint8_t id = 1; id <= 4; ++id) {
        EXPECT_NEAR((*home)[id - 1], 0.0, 0.05);
        EXPECT_EQ(servos().torque_enabled(id), false);
        EXPECT_EQ(servos().register_value(id, 55), 1) << "EEPROM must be locked again";
        EXPECT_EQ(servos().encoder_position(id), encoder[id - 1]) << "the shaft must not move";
    }
}

TEST_F(SerialOperations, ArmHomeReportsAFailedVerificationWithBothOffsetSets) {
    servos().set_encoder_position(1, 2500);
    auto home = controller().set_arm_home(1e-9);
    ASSERT_FALSE(home);
    const std::string& message = home.error().message();
    EXPECT_EQ(message.rfind("set_arm_home: verify failed \u2014 arm IDs [1, 2, 3, 4] now reading [", 0), 0u)
        << message;
    EXPECT_NE(message.find("rad (expected ~0 within 0.0000). The Feetech offset sign convention on "
                           "this hardware may differ from the assumed `present = encoder - offset`. "
                           "EEPROM has been left in the new state; restore manually using "
                           "prior_offsets [+0.0000, +0.0000, +0.0000, +0.0000], new_offsets [+0.6934, "),
              std::string::npos)
        << message;
}

TEST_F(SerialOperations, ArmHomeRejectsABadToleranceBeforeTouchingTheBus) {
    for (double tolerance : {0.0, -0.1, std::nan("")}) {
        auto home = controller().set_arm_home(tolerance);
        ASSERT_FALSE(home);
        EXPECT_EQ(home.error().message().rfind("set_arm_home: verify_tol must be positive, got ", 0), 0u);
    }
    EXPECT_EQ(controller().set_arm_home(-0.1).error().message(),
              "set_arm_home: verify_tol must be positive, got -0.1");
    EXPECT_TRUE(servos().requests().empty());
}

}  // namespace
}  // namespace kestro::controller
