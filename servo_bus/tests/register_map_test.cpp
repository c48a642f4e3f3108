#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"
#include "servo_bus/tests/sim_bus_fixture.hpp"

namespace kestro::servo_bus {
namespace {

using namespace std::chrono_literals;
using Ids = std::vector<std::uint8_t>;

constexpr std::uint8_t OFFSET = 31;
constexpr std::uint8_t LOCK = 55;

class RegisterMapTest : public SimBusTest {
protected:
    int offset_register(std::uint8_t id) {
        return *model().register_value(id, OFFSET) | (*model().register_value(id, OFFSET + 1) << 8);
    }
};

TEST_F(RegisterMapTest, PositionsComeBackInTheOrderOfTheIds) {
    model().set_present_position(1, 2048);
    model().set_present_position(3, 1);
    auto positions = sm40bl::sync_read_present_position(handler_, port(), Ids{3, 1});
    ASSERT_TRUE(positions) << positions.error().to_string();
    EXPECT_EQ(*positions, (std::vector<double>{-3.1400586728019073, 0.0}));

    model().set_present_position(6, 4095);
    EXPECT_EQ(*sts3025bl::sync_read_raw_present_position(handler_, port(), Ids{6}),
              std::vector<std::int16_t>{4095});
}

TEST_F(RegisterMapTest, GoalPositionsSaturateOnTheWire) {
    const Ids ids{5, 6, 7};
    const std::vector<double> goals{std::numeric_limits<double>::quiet_NaN(), 100.0, -100.0};
    ASSERT_TRUE(sts3025bl::sync_write_goal_position(handler_, port(), ids, goals));
    ASSERT_TRUE(handler_.ping(port(), 5));  // the write has no reply; let the servos take it
    const auto requests = model().requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].params,
              (std::vector<std::uint8_t>{42, 2, 5, 0x00, 0x00, 6, 0xFF, 0x7F, 7, 0x00, 0x80}));

    const std::vector<double> one_radian{1.0};
    ASSERT_TRUE(sm40bl::sync_write_goal_position(handler_, port(), Ids{2}, one_radian));
    ASSERT_TRUE(handler_.ping(port(), 2));
    EXPECT_EQ(model().goal_position(2), 2699);
}

TEST_F(RegisterMapTest, MismatchedValueListsAreRefusedBeforeSending) {
    const std::vector<double> two_goals{0.0, 0.0};
    EXPECT_EQ(sm40bl::sync_write_goal_position(handler_, port(), Ids{1}, two_goals).error(),
              ServoBusError(CommunicationErrorKind::Unsupported));
    EXPECT_TRUE(model().requests().empty());
}

TEST_F(RegisterMapTest, TorqueEnableAndVoltage) {
    ASSERT_TRUE(sm40bl::sync_write_torque_enable(handler_, port(), Ids{1, 2}, {true, false}));
    model().set_register(3, 40, 2);  // any non-zero value means on
    EXPECT_EQ(*sm40bl::sync_read_torque_enable(handler_, port(), Ids{1, 2, 3}),
              (std::vector<bool>{true, false, true}));

    model().set_voltage(7, 87);
    EXPECT_EQ(*sts3025bl::sync_read_present_voltage(handler_, port(), Ids{5, 7}),
              (std::vector<std::uint8_t>{120, 87}));
}

TEST_F(RegisterMapTest, OffsetRoundTripsThroughTheLockedEeprom) {
    const std::vector<double> offset{-0.0};
    // Locked at power-up: the write goes out but the servo keeps its offset.
    ASSERT_TRUE(sm40bl::sync_write_offset(handler_, port(), Ids{1}, offset));
    ASSERT_TRUE(handler_.ping(port(), 1));
    EXPECT_EQ(offset_register(1), 0);

    ASSERT_TRUE(sm40bl::sync_write_lock(handler_, port(), Ids{1}, {false}));
    ASSERT_TRUE(sm40bl::sync_write_offset(handler_, port(), Ids{1}, offset));
    ASSERT_TRUE(sm40bl::sync_write_lock(handler_, port(), Ids{1}, {true}));
    ASSERT_TRUE(handler_.ping(port(), 1));
    EXPECT_EQ(offset_register(1), 0x800);
    EXPECT_EQ(model().register_value(1, LOCK), 1);

    auto negative_zero = sm40bl::sync_read_offset(handler_, port(), Ids{1});
    ASSERT_TRUE(negative_zero);
    EXPECT_TRUE(std::signbit(negative_zero->front()));
    model().set_register(2, OFFSET + 1, 0x18);
    EXPECT_EQ(*sm40bl::sync_read_raw_offset(handler_, port(), Ids{2}),
              std::vector<std::uint16_t>{0x1800});
    EXPECT_FALSE(std::signbit(sm40bl::sync_read_offset(handler_, port(), Ids{2})->front()));
}

TEST_F(RegisterMapTest, RewritingTheOffsetZeroesTheCurrentPose) {
    // The arm rests past the half turn; its encoder has wrapped round.
    model().set_encoder_position(4, 233);
    model().set_register(4, OFFSET, 0x46);  // +326 counts
    model().set_register(4, OFFSET + 1, 0x01);
    const auto present = *sm40bl::sync_read_present_position(handler_, port(), Ids{4});
    const auto prior = *sm40bl::sync_read_offset(handler_, port(), Ids{4});
    double wanted = present[0] + prior[0];
    if (wanted > M_PI) wanted -= 2 * M_PI;

    ASSERT_TRUE(sm40bl::sync_write_lock(handler_, port(), Ids{4}, {false}));
    ASSERT_TRUE(sm40bl::sync_write_offset(handler_, port(), Ids{4}, std::vector<double>{wanted}));
    const auto now = *sm40bl::sync_read_present_position(handler_, port(), Ids{4});
    EXPECT_NEAR(now[0], 0.0, 0.01);
}

TEST_F(RegisterMapTest, TorqueDrivesThePresentPositionToTheGoal) {
    model().set_speed(20'000);
    ASSERT_TRUE(
        sm40bl::sync_write_goal_position(handler_, port(), Ids{1}, std::vector<double>{1.0}));
    ASSERT_TRUE(handler_.ping(port(), 1));
    EXPECT_EQ(model().present_position(1), 2048);  // torque is off

    ASSERT_TRUE(sm40bl::sync_write_torque_enable(handler_, port(), Ids{1}, {true}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(*sm40bl::sync_read_raw_present_position(handler_, port(), Ids{1}),
              std::vector<std::int16_t>{2699});
}

TEST_F(RegisterMapTest, AFailingServoFailsTheWholeGroupRead) {
    const Ids nose{5, 6, 7};
    model().set_silent(7, true);
    EXPECT_EQ(sts3025bl::sync_read_present_position(handler_, port(), nose).error(),
              ServoBusError(IoError::timed_out()));
    // A silent servo in the middle: the next servo's reply arrives in its place.
    model().set_silent(7, false);
    model().set_silent(6, true);
    EXPECT_EQ(sts3025bl::sync_read_present_position(handler_, port(), nose).error(),
              ServoBusError(CommunicationErrorKind::ParsingError));
}

}  // namespace
}  // namespace kestro::servo_bus
