// The devices' health from the replies the controller receives anyway: servo error bytes,
// neck motor feedback, failures in a row, a log record per change of faults, and clearing a
// neck motor's fault.
#include "can_motor/damiao/status.hpp"
#include "src/controller/tests/serial_fixture.hpp"

namespace kestro::controller {
namespace {

namespace motor_status = can_motor::damiao::motor_status;

class Health : public SerialOperations {
protected:
    sim::DamiaoBusModel& neck() { return *torso_.neck; }
    const DeviceHealth& device(std::size_t index) { return controller().health().devices[index]; }
    std::vector<log::CapturedRecord> records() { return log::Capture::instance().take(); }
};

TEST_F(Health, ServoErrorBytesAreKeptAndEachChangeOfFaultsIsLoggedOnce) {
    EXPECT_FALSE(device(4).last_answer);
    servos().set_error_flags(5, 0b0010'0100);  // overheat, overload
    ASSERT_TRUE(controller().read_all_positions());
    ASSERT_TRUE(controller().read_all_positions());
    EXPECT_EQ(servos().requests().size(), 4u);  // the two group reads, twice: nothing more
    EXPECT_EQ(faults(4, device(4)), (std::vector<std::string>{"overheat", "overload"}));
    EXPECT_TRUE(device(4).last_answer);
    EXPECT_TRUE(faults(0, device(0)).empty());

    servos().set_error_flags(5, 0b0101'0000);  // bits 4 and 6 carry no flag
    ASSERT_TRUE(controller().read_all_positions());
    servos().brown_out(2);
    ASSERT_TRUE(controller().read_all_positions());
    EXPECT_EQ(faults(1, device(1)), (std::vector<std::string>{"input_voltage"}));

    const auto logged = records();
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].level, log::Level::Warn);
    EXPECT_EQ(logged[0].message, "servo 5 (nose_top) reports overheat, overload");
    EXPECT_EQ(logged[1].level, log::Level::Info);
    EXPECT_EQ(logged[1].message, "servo 5 (nose_top) no longer reports a fault");
    EXPECT_EQ(logged[2].message, "servo 2 (left_arm_yaw) reports input_voltage");
}

TEST_F(Health, FailuresCountInARowForTheServoThatDidNotAnswer) {
    servos().set_silent(3, true);
    ASSERT_FALSE(controller().read_all_positions());
    auto failed = controller().read_all_positions();
    ASSERT_FALSE(failed);
    EXPECT_EQ(device(2).consecutive_failures, 2u);
    EXPECT_EQ(device(2).last_error, failed.error().message());
    EXPECT_EQ(device(1).consecutive_failures, 0u);  // answered before it
    EXPECT_FALSE(device(3).last_answer);            // never asked: the read stopped at 3

    servos().set_silent(3, false);
    ASSERT_TRUE(controller().read_all_positions());
    EXPECT_EQ(device(2).consecutive_failures, 0u);
    EXPECT_EQ(device(2).last_error, failed.error().message());  // kept for whoever looks later
}

TEST_F(Health, NeckStatesComeFromEveryReplyAndClearingLeavesTheMotorDisabled) {
    ASSERT_TRUE(controller().enable_neck(true));
    EXPECT_EQ(device(neck_device(0)).neck_state->state.status, motor_status::ENABLED);

    neck().set_fault(2, motor_status::MOTOR_OVER_TEMPERATURE);
    neck().set_temperatures(2, 45, 92);
    records();
    auto states = controller().read_neck_state();
    ASSERT_TRUE(states);
    // The same status request as ever: health adds nothing to the wire.
    EXPECT_EQ(neck().snapshot(3).last_frame,
              (sim::BusFrame{0x7FF, false, {3, 0, 0xCC, 0, 0, 0, 0, 0}, false}));
    EXPECT_EQ((*states)[1].joint, 1u);
    EXPECT_EQ((*states)[1].state.status, motor_status::MOTOR_OVER_TEMPERATURE);
    EXPECT_EQ((*states)[1].state.temp_motor, 92);
    EXPECT_EQ(faults(neck_device(1), device(neck_device(1))),
              (std::vector<std::string>{"motor_over_temperature"}));
    auto logged = records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].message, "neck_pitch reports motor_over_temperature (driver 45 °C, motor 92 °C)");

    auto cleared = controller().clear_neck_faults(1);
    ASSERT_TRUE(cleared);
    ASSERT_EQ(cleared->size(), 1u);
    EXPECT_EQ((*cleared)[0].state.status, motor_status::DISABLED);
    const auto frame = neck().snapshot(2).last_frame;
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id, 2u);
    EXPECT_EQ(frame->data, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_FALSE(neck().snapshot(2).enabled);
    EXPECT_EQ(records().at(0).message, "neck_pitch no longer reports a fault");

    auto all = controller().clear_neck_faults(std::nullopt);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 3u);
    EXPECT_EQ(controller().clear_neck_faults(3).error().message(), "neck index out of range: 3");

    neck().set_silent(3, true);
    auto failed = controller().read_neck_state();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), controller().read_neck_positions().error().message());
    EXPECT_EQ(device(neck_device(2)).consecutive_failures, 2u);
}

TEST(HealthNames, EveryMotorStatusHasItsName) {
    const std::vector<std::pair<std::uint8_t, std::string>> names{
        {0, "disabled"}, {1, "enabled"}, {8, "over_voltage"}, {9, "under_voltage"},
        {10, "over_current"}, {11, "driver_over_temperature"}, {12, "motor_over_temperature"},
        {13, "communication_lost"}, {14, "overload"}, {15, "unknown_15"}, {2, "unknown_2"}};
    for (const auto& [code, name] : names) EXPECT_EQ(can_motor::damiao::status_name(code), name);
}

}  // namespace
}  // namespace kestro::controller
