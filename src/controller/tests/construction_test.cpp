// Building a controller, and what a neck-only controller does on the serial side.
#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "src/controller/tests/sim_torso.hpp"

namespace kestro::controller {
namespace {

TEST(Construction, AnUnopenableSerialPortFailsFirstWithTheSerialLayersOwnText) {
    const std::string path = "/dev/kestro-no-such-port";
    auto created = KestroMotorController::create(path, "can0");
    ASSERT_FALSE(created);
    EXPECT_NE(created.error().message().find(path), std::string::npos)
        << created.error().message();
    EXPECT_EQ(created.error().message(), servo_bus::SerialPort::open(path).error().description());
    // An open failure is no I/O error of a transaction: nothing would retry it.
    EXPECT_EQ(created.error().io_error(), nullptr);
    EXPECT_EQ(created.error().message().find("CAN bus"), std::string::npos)
        << "the CAN interface must not be tried after the serial port failed";
}

TEST(Construction, AMissingCanInterfaceNamesItAndReleasesTheSerialPort) {
    SimTorso torso = SimTorso::start();
    const std::string& path = torso.servos->slave_path();
    auto created = KestroMotorController::create(path, "kestro-nocan0");
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message().rfind("failed to open CAN bus 'kestro-nocan0': backend error: ", 0), 0u)
        << created.error().message();
    // The port was closed again, so its exclusive lock is free for the next owner.
    auto reopened = servo_bus::SerialPort::open(path);
    EXPECT_TRUE(reopened) << (reopened ? "" : reopened.error().description());
}

TEST(Construction, TheNameMapHoldsExactlyTheSevenServos) {
    auto map = get_motor_name_id();
    EXPECT_EQ(map, (std::unordered_map<std::string, std::uint8_t>{
                       {"left_arm_pitch", 1}, {"left_arm_yaw", 2}, {"right_arm_pitch", 3},
                       {"right_arm_yaw", 4}, {"nose_top", 5}, {"nose_left", 6}, {"nose_right", 7}}));
}

// The groups are derived from the table; a wrong derivation would address the wrong servos.
TEST(MotorLayout, GroupsAndNamesFollowTheServoTable) {
    using Ids = std::vector<std::uint8_t>;
    EXPECT_EQ(Ids(SERVO_IDS.begin(), SERVO_IDS.end()), (Ids{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(Ids(ARM_IDS.begin(), ARM_IDS.end()), (Ids{1, 2, 3, 4}));
    EXPECT_EQ(Ids(NOSE_IDS.begin(), NOSE_IDS.end()), (Ids{5, 6, 7}));
    EXPECT_EQ(Ids(LEFT_ARM_IDS.begin(), LEFT_ARM_IDS.end()), (Ids{1, 2}));
    EXPECT_EQ(Ids(RIGHT_ARM_IDS.begin(), RIGHT_ARM_IDS.end()), (Ids{3, 4}));
    EXPECT_EQ(servo_name(1), "left_arm_pitch");
    EXPECT_EQ(servo_name(7), "nose_right");
    EXPECT_EQ(servo_name(0), "Unknown(0)");
    EXPECT_EQ(servo_name(8), "Unknown(8)");
}

TEST(NeckOnly, SerialOperationsFailWithThePreconditionTextWithoutAnyBus) {
    SimTorso torso = SimTorso::start();
    KestroMotorController controller = torso.controller(false);
    log::Capture::instance().take();
    const std::string expected = "serial port not configured (neck-only controller)";

    EXPECT_TRUE(controller.check_missing_ids().empty());
    EXPECT_EQ(controller.read_all_positions().error().message(), expected);
    EXPECT_EQ(controller.read_all_voltages().error().message(), expected);
    EXPECT_EQ(controller.is_torque_enabled().error().message(), expected);
    EXPECT_EQ(controller.set_all_torque(true).error().message(), expected);
    std::array<double, 3> nose{};
    EXPECT_EQ(controller.set_nose_goal_positions(nose).error().message(), expected);
    EXPECT_EQ(controller.read_raw_bytes(1, 56, 2).error().message(), expected);
    EXPECT_EQ(controller.set_arm_home(0.05).error().message(), expected);
    std::array<std::uint8_t, 1> arm{1};
    EXPECT_EQ(controller.set_torque_on_ids(arm, true).error().message(), expected);

    auto raw = controller.write_raw_packet({});
    ASSERT_FALSE(raw);
    EXPECT_EQ(raw.error().kind(), IoErrorKind::Unsupported);
    EXPECT_EQ(raw.error().message(), expected);

    EXPECT_TRUE(controller.reboot(std::chrono::seconds(1)));
    EXPECT_TRUE(log::Capture::instance().take().empty()) << "nothing to reboot, nothing to log";
    EXPECT_TRUE(torso.servos->model().requests().empty());
}

}  // namespace
}  // namespace kestro::controller
