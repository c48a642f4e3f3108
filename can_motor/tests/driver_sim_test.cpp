// The Damiao driver against simulated neck motors, through the real SocketCAN transport code
// over a packet socket pair, faults included.
#include <bit>
#include <numbers>
#include <thread>

#include <gtest/gtest.h>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/socketcan_backend.hpp"
#include "sim/damiao/socketpair_endpoint.hpp"

namespace kestro::can_motor::damiao {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double TURN = 2.0 * std::numbers::pi;
// One position code of a ±12.5 rad range, plus the simulation's rounding.
constexpr double POSITION_STEP = 25.0 / 65535.0;

Damiao neck_motor(std::uint16_t id) {
    const float v_max = id == 1 ? 30.0f : 10.0f;
    const float t_max = id == 1 ? 10.0f : 28.0f;
    return *Damiao::create(20ms, {12.5f, v_max, 500.0f, 5.0f, t_max}, id, id);
}

class DriverSimTest : public ::testing::Test {
protected:
    explicit DriverSimTest(std::vector<sim::DamiaoMotorConfig> motors = sim::neck_motor_configs())
        : model(motors), endpoint(model), can(SocketCanTransport::adopt(endpoint.take_peer())) {}

    // Polls the motor's feedback for `duration`, giving the last position.
    double position_after(const Damiao& motor, std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        double position = 0.0;
        do {
            auto state = motor.request_feedback(can);
            EXPECT_TRUE(state);
            if (state) position = state->position;
            std::this_thread::sleep_for(5ms);
        } while (Clock::now() < end);
        return position;
    }

    sim::DamiaoBusModel model;
    sim::DamiaoSocketpairEndpoint endpoint;
    SocketCanTransport can;
    const Damiao yaw = neck_motor(1);
    const Damiao pitch = neck_motor(2);
    const Damiao roll = neck_motor(3);
};

TEST_F(DriverSimTest, EnableAndCommandMovesTheMotorToTheGoal) {
    ASSERT_TRUE(yaw.ensure_control_mode(can, control_mode::MIT));
    EXPECT_EQ(model.snapshot(1).register_reads, 1u);
    EXPECT_EQ(model.snapshot(1).register_writes, 0u);

    auto enabled = yaw.enable(can);
    ASSERT_TRUE(enabled) << enabled.error().to_string();
    EXPECT_EQ(enabled->status, 1);
    EXPECT_EQ(enabled->motor_id, 1);
    EXPECT_TRUE(model.snapshot(1).enabled);

    ASSERT_TRUE(yaw.control(can, MitCommand{0.3f, 0.0f, 30.0f, 1.0f, 0.0f}));
    const auto sent = model.snapshot(1).last_mit;
    ASSERT_TRUE(sent);
    EXPECT_NEAR(sent->position, 0.3, POSITION_STEP);
    EXPECT_NEAR(sent->kp, 30.0, 500.0 / 4095);
    EXPECT_NEAR(sent->kd, 1.0, 5.0 / 4095);

    EXPECT_NEAR(position_after(yaw, 300ms), 0.3, 0.01);

    ASSERT_TRUE(yaw.disable(can));
    EXPECT_FALSE(model.snapshot(1).enabled);
}

TEST_F(DriverSimTest, MultiTurnCounterIsReported) {
    model.place(2, 0.1, -1);
    auto state = pitch.request_feedback(can);
    ASSERT_TRUE(state);
    EXPECT_NEAR(state->position, 0.1 - TURN, POSITION_STEP);
}

TEST_F(DriverSimTest, StuckMotorNeverReachesItsGoal) {
    model.set_stuck(3, true);
    ASSERT_TRUE(roll.enable(can));
    ASSERT_TRUE(roll.control(can, MitCommand{0.3f, 0.0f, 60.0f, 2.0f, 0.0f}));
    EXPECT_NEAR(position_after(roll, 100ms), 0.0, POSITION_STEP);
}

TEST_F(DriverSimTest, SilentMotorTimesOutAfterItsTimeOutAndNotBefore) {
    model.set_silent(2, true);
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        auto state = pitch.request_feedback(can);
        const auto elapsed = Clock::now() - start;
        ASSERT_FALSE(state);
        EXPECT_EQ(state.error().to_string(), "transport error: timeout waiting for frame");
        EXPECT_GE(elapsed, 20ms);
        EXPECT_LT(elapsed, 200ms);
    }
    EXPECT_TRUE(yaw.request_feedback(can)) << "the other motors still answer";
    EXPECT_FALSE(pitch.ensure_control_mode(can, control_mode::MIT));
}

TEST_F(DriverSimTest, ForeignFramesAreSkipped) {
    model.set_foreign_frames(3);
    model.place(1, 0.25, 0);
    for (int i = 0; i < 3; ++i) {
        auto state = yaw.request_feedback(can);
        ASSERT_TRUE(state) << state.error().to_string();
        EXPECT_NEAR(state->position, 0.25, POSITION_STEP);
        auto mode = yaw.read_register(can, CTRL_MODE);
        ASSERT_TRUE(mode) << mode.error().to_string();
        EXPECT_EQ(*mode, RegisterValue::Uint32(1));
    }
}

TEST_F(DriverSimTest, DelayedReplyCountsOnlyWithinTheTimeOut) {
    model.set_reply_delay(3, 5ms);
    EXPECT_TRUE(roll.request_feedback(can));

    model.set_reply_delay(3, 300ms);
    const auto start = Clock::now();
    auto late = roll.request_feedback(can);
    EXPECT_LT(Clock::now() - start, 300ms);
    ASSERT_FALSE(late);
    EXPECT_TRUE(late.error().get_if<Error::Transport>()->error.is<CanError::Timeout>());
}

TEST_F(DriverSimTest, RegisterWriteReplyIsDiscardedByTheNextRead) {
    ASSERT_TRUE(roll.write_register(can, 21, RegisterValue::Float(20.0f)));
    auto pmax = roll.read_register(can, 21);
    ASSERT_TRUE(pmax) << pmax.error().to_string();
    EXPECT_EQ(*pmax, RegisterValue::Float(20.0f));
    EXPECT_EQ(model.register_bits(3, 21), std::bit_cast<std::uint32_t>(20.0f));
}

class ModeChangeTest : public DriverSimTest {
protected:
    static std::vector<sim::DamiaoMotorConfig> in_velocity_mode() {
        auto motors = sim::neck_motor_configs();
        for (auto& motor : motors) motor.control_mode = control_mode::VEL;
        return motors;
    }

    ModeChangeTest() : DriverSimTest(in_velocity_mode()) {}
};

TEST_F(ModeChangeTest, ModeIsWrittenAndVerifiedAfterAPause) {
    const auto start = Clock::now();
    auto ensured = pitch.ensure_control_mode(can, control_mode::MIT);
    ASSERT_TRUE(ensured) << ensured.error().to_string();
    EXPECT_GE(Clock::now() - start, 100ms);
    const auto motor = model.snapshot(2);
    EXPECT_EQ(motor.control_mode, control_mode::MIT);
    EXPECT_EQ(motor.register_reads, 2u);
    EXPECT_EQ(motor.register_writes, 1u);
}

TEST_F(ModeChangeTest, ModeThatDoesNotTakeEffectFailsVerification) {
    model.set_mode_locked(2, true);
    auto ensured = pitch.ensure_control_mode(can, control_mode::MIT);
    ASSERT_FALSE(ensured);
    EXPECT_EQ(ensured.error().to_string(),
              "control mode verification failed: wrote 1, motor reports 3");
}

}  // namespace
}  // namespace kestro::can_motor::damiao
