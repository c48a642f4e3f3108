#include <ctime>

#include <gtest/gtest.h>

#include "src/control_loop/loop_cells.hpp"
#include "src/control_loop/motor_error.hpp"
#include "src/control_loop/torso_position.hpp"

namespace kestro::control_loop {
namespace {

using namespace std::chrono_literals;

TEST(MotorError, EveryVariantRendersItsText) {
    EXPECT_EQ(to_string(MissingMotors{{"left_arm_yaw", "nose_top"}}),
              "Missing motors: [\"left_arm_yaw\", \"nose_top\"]!");
    EXPECT_EQ(to_string(MissingMotors{{"a\"b\\"}}), "Missing motors: [\"a\\\"b\\\\\"]!");
    EXPECT_EQ(to_string(CommunicationError{}),
              "Motor communication error! Check connections and power supply.");
    EXPECT_EQ(to_string(NoMotorsDetected{}),
              "No motors detected. Check if the power supply is connected and turned on!");
    EXPECT_EQ(to_string(VoltageRampupTimeout{30s, 95}),
              "Voltage did not ramp up to 12V (got 9.5V) within 30s!");
    EXPECT_EQ(to_string(VoltageRampupTimeout{0s, 105}),
              "Voltage did not ramp up to 12V (got 10.5V) within 0ns!");
    EXPECT_EQ(to_string(VoltageRampupTimeout{1500ms, 87}),
              "Voltage did not ramp up to 12V (got 8.7V) within 1.5s!");
    EXPECT_EQ(to_string(PortNotFound{"/dev/ttyUSB9"}),
              "Check if your USB cable is connected. Could not find port: /dev/ttyUSB9!");
    EXPECT_EQ(to_string(PortOpenFailed{""}),
              "Could not open serial port: ! Check permissions and if the port is already in use.");
}

TEST(TorsoPosition, ReprListsEveryArrayAndAThreeDecimalTimestamp) {
    KestroTorsoPosition zero;
    zero.timestamp = 12.0;
    EXPECT_EQ(repr(zero),
              "KestroTorsoPosition(left_arm=[0.0, 0.0], right_arm=[0.0, 0.0], "
              "nose=[0.0, 0.0, 0.0], neck=[0.0, 0.0, 0.0], timestamp=12.000)");

    KestroTorsoPosition mixed{{1.0, -0.25}, {1e-5, 3.5}, {0.1, 0.2, 0.3}, {-1.0, 0.0, 2.0}, 1.23456};
    EXPECT_EQ(repr(mixed),
              "KestroTorsoPosition(left_arm=[1.0, -0.25], right_arm=[1e-5, 3.5], "
              "nose=[0.1, 0.2, 0.3], neck=[-1.0, 0.0, 2.0], timestamp=1.235)");
}

TEST(TorsoPosition, ServoPositionsRoundTripInTableOrderAndLeaveTheNeckAlone) {
    KestroTorsoPosition position{{1, 2}, {3, 4}, {5, 6, 7}, {8, 9, 10}, 11.0};
    EXPECT_EQ(servo_positions(position), (std::array<double, 7>{1, 2, 3, 4, 5, 6, 7}));
    const std::array<double, 7> values{-1, -2, -3, -4, -5, -6, -7};
    set_servo_positions(position, values);
    EXPECT_EQ(position.left_arm, (std::array<double, 2>{-1, -2}));
    EXPECT_EQ(position.right_arm, (std::array<double, 2>{-3, -4}));
    EXPECT_EQ(position.nose, (std::array<double, 3>{-5, -6, -7}));
    EXPECT_EQ(position.neck, (std::array<double, 3>{8, 9, 10}));
    EXPECT_EQ(position.timestamp, 11.0);
}

TEST(TorsoPosition, TimestampIsTheCurrentUnixTime) {
    double now = unix_timestamp_now();
    EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(LoopStats, ReprShowsMeansInMillisecondsAndNaNForEmptyLists) {
    EXPECT_EQ(repr(ControlLoopStats{}),
              "ControlLoopStats(period=~NaNms, read_dt=~NaN ms, write_dt=~NaN ms)");
    EXPECT_EQ(repr(ControlLoopStats{{0.01, 0.02}, {0.001}, {0.0005, 0.0015}}),
              "ControlLoopStats(period=~15.00ms, read_dt=~1.00 ms, write_dt=~1.00 ms)");
}

// The window overwrites its oldest sample in place once full; what it hands out must still
// be the most recent samples, oldest first, across the wrap.
TEST(LoopStats, KeepTheMostRecentSamplesInOrderAcrossTheWrap) {
    StatsStore store;
    for (std::size_t i = 0; i < STATS_SAMPLE_LIMIT + 3; ++i) store.add_period(static_cast<double>(i));
    store.add_read_dt(std::vector<double>{0.5, 0.25});
    const ControlLoopStats stats = store.snapshot();
    ASSERT_EQ(stats.period.size(), STATS_SAMPLE_LIMIT);
    EXPECT_EQ(stats.period.front(), 3.0);
    EXPECT_EQ(stats.period[1], 4.0);
    EXPECT_EQ(stats.period.back(), static_cast<double>(STATS_SAMPLE_LIMIT + 2));
    EXPECT_EQ(stats.read_dt, (std::vector<double>{0.5, 0.25}));
    EXPECT_TRUE(stats.write_dt.empty());
}

}  // namespace
}  // namespace kestro::control_loop
