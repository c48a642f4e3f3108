// The simulated motor bus on its own, with time passed in: what later tests and the torso
// simulator rely on. Feedback is read with the product's codec, which is pinned down by its
// own worked examples.
#include "sim/damiao/damiao_bus_model.hpp"

#include <numbers>
#include <stdexcept>

#include <gtest/gtest.h>

#include "can_motor/damiao/mit.hpp"

namespace kestro::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using can_motor::damiao::decode_state;
using can_motor::damiao::encode;
using can_motor::damiao::MitCommand;
using can_motor::damiao::MitLimits;

constexpr MitLimits YAW_LIMITS{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
const Bytes ENABLE_PAYLOAD{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
const Bytes CLEAR_ERROR_PAYLOAD{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB};

BusFrame standard(std::uint32_t id, Bytes data) {
    return BusFrame{id, false, std::move(data), false};
}

BusFrame mit(const MitCommand& command) {
    const auto payload = encode(YAW_LIMITS, command);
    return standard(0x001, {payload.begin(), payload.end()});
}

class SimModelTest : public ::testing::Test {
protected:
    // Sends `frame` at `at` after the start and gives the motor's answer.
    std::optional<BusFrame> send(const BusFrame& frame, std::chrono::milliseconds at) {
        auto reply = model.handle(frame, start + at);
        if (reply.frames.empty()) return std::nullopt;
        return reply.frames.back();
    }

    float position_at(std::chrono::milliseconds at) { return state_at(at).position; }

    // Motor 1's feedback to a status request at `at`.
    can_motor::damiao::MitState state_at(std::chrono::milliseconds at) {
        auto answer = send(standard(0x7FF, {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}), at);
        EXPECT_TRUE(answer);
        return answer ? *decode_state(YAW_LIMITS, answer->data) : can_motor::damiao::MitState{};
    }

    // The state nibble of motor 1's answer to `payload` at its command id.
    int status_after(const Bytes& payload, std::chrono::milliseconds at) {
        auto answer = send(standard(0x001, payload), at);
        EXPECT_TRUE(answer);
        return answer ? answer->data[0] >> 4 : -1;
    }

    DamiaoBusModel model{neck_motor_configs()};
    const DamiaoBusModel::Clock::time_point start = DamiaoBusModel::Clock::now();
};

TEST_F(SimModelTest, PositionApproachesTheGoalFasterWithMoreStiffness) {
    send(standard(0x001, ENABLE_PAYLOAD), 0ms);
    send(mit({1.0f, 0.0f, 5.0f, 1.0f, 0.0f}), 0ms);
    const float soft = position_at(20ms);
    model.place(1, 0.0, 0);
    send(mit({1.0f, 0.0f, 50.0f, 1.0f, 0.0f}), 20ms);
    const float stiff = position_at(40ms);
    EXPECT_GT(soft, 0.01f);
    EXPECT_GT(stiff, soft);
    EXPECT_LT(stiff, 1.0f);
    EXPECT_NEAR(position_at(2000ms), 1.0f, 0.001f);
}

TEST_F(SimModelTest, SpeedIsLimitedByVmaxAndADisabledMotorStays) {
    send(mit({10.0f, 0.0f, 500.0f, 0.0f, 0.0f}), 0ms);
    EXPECT_NEAR(position_at(100ms), 0.0f, 0.001f) << "disabled";
    send(standard(0x001, ENABLE_PAYLOAD), 100ms);
    send(mit({10.0f, 0.0f, 500.0f, 0.0f, 0.0f}), 100ms);
    EXPECT_NEAR(position_at(200ms), 3.0f, 0.01f);  // 30 rad/s for 0.1 s
}

TEST_F(SimModelTest, ReportsWholeTurnsAndFollowsCommandsInReportedPositions) {
    model.place(1, 0.2, 1);
    const double turn = 2.0 * std::numbers::pi;
    EXPECT_NEAR(position_at(0ms), turn + 0.2, 0.001);
    send(standard(0x001, ENABLE_PAYLOAD), 0ms);
    send(mit({static_cast<float>(turn), 0.0f, 30.0f, 1.0f, 0.0f}), 0ms);
    EXPECT_NEAR(position_at(1000ms), turn, 0.001);
}

TEST_F(SimModelTest, RegisterFramesAndTheirReplies) {
    // Read: [id lo, id hi, 0x33, reg, value LE] from the feedback id.
    EXPECT_EQ(send(standard(0x7FF, {0x02, 0x00, 0x33, 0x07, 0, 0, 0, 0}), 0ms),
              standard(0x002, {0x02, 0x00, 0x33, 0x07, 0x02, 0, 0, 0}));
    // Write: echoed with 0x55 and the value now held.
    EXPECT_EQ(send(standard(0x7FF, {0x02, 0x00, 0x55, 0x0A, 0x02, 0, 0, 0}), 0ms),
              standard(0x002, {0x02, 0x00, 0x55, 0x0A, 0x02, 0, 0, 0}));
    EXPECT_EQ(model.snapshot(2).control_mode, 2u);
    // Read-only registers and unknown modes keep their value; unknown registers stay silent.
    EXPECT_EQ(send(standard(0x7FF, {0x02, 0x00, 0x55, 0x50, 1, 2, 3, 4}), 0ms)->data[4], 0);
    EXPECT_EQ(send(standard(0x7FF, {0x02, 0x00, 0x55, 0x0A, 0x09, 0, 0, 0}), 0ms)->data[4], 2);
    EXPECT_FALSE(send(standard(0x7FF, {0x02, 0x00, 0x33, 40, 0, 0, 0, 0}), 0ms));
    model.set_mode_locked(2, true);
    send(standard(0x7FF, {0x02, 0x00, 0x55, 0x0A, 0x01, 0, 0, 0}), 0ms);
    EXPECT_EQ(model.snapshot(2).control_mode, 2u);
}

TEST_F(SimModelTest, OnlyAddressedClassicFramesAreAnswered) {
    EXPECT_FALSE(send(BusFrame{0x001, true, ENABLE_PAYLOAD, false}, 0ms));
    EXPECT_FALSE(send(BusFrame{0x001, false, ENABLE_PAYLOAD, true}, 0ms));
    EXPECT_FALSE(send(standard(0x004, ENABLE_PAYLOAD), 0ms));
    EXPECT_FALSE(send(standard(0x7FF, {0x09, 0x00, 0xCC, 0, 0, 0, 0, 0}), 0ms));
    model.set_silent(1, true);
    EXPECT_FALSE(send(standard(0x001, ENABLE_PAYLOAD), 0ms));
    EXPECT_FALSE(model.snapshot(1).enabled);
}

TEST_F(SimModelTest, ForeignFramesComeFirstAndDelayIsReported) {
    model.set_foreign_frames(2);
    model.set_reply_delay(3, 7ms);
    auto reply = model.handle(standard(0x003, ENABLE_PAYLOAD), start);
    ASSERT_EQ(reply.frames.size(), 3u);
    EXPECT_EQ(reply.delay, 7ms);
    EXPECT_EQ(reply.frames[0].id, 0x003u);
    EXPECT_TRUE(reply.frames[0].extended);
    EXPECT_NE(reply.frames[1].id, 0x003u);
    EXPECT_EQ(reply.frames[2], standard(0x003, reply.frames[2].data));
}

TEST_F(SimModelTest, AFaultDropsTorqueRefusesEnableAndIsReportedUntilCleared) {
    send(standard(0x001, ENABLE_PAYLOAD), 0ms);
    send(mit({1.0f, 0.0f, 5.0f, 1.0f, 0.0f}), 0ms);
    const float moving = position_at(20ms);
    model.set_fault(1, 12);
    EXPECT_NEAR(state_at(20ms).torque, 0.0f, 0.01f);
    EXPECT_NEAR(position_at(1000ms), moving, 0.001f) << "no longer driven";
    EXPECT_EQ(status_after(ENABLE_PAYLOAD, 1000ms), 12) << "enable refused";
    EXPECT_EQ(status_after(CLEAR_ERROR_PAYLOAD, 1000ms), 0);
    EXPECT_EQ(status_after(ENABLE_PAYLOAD, 1000ms), 1);

    model.set_fault(1, 14);
    model.set_fault(1, std::nullopt);
    EXPECT_EQ(state_at(1000ms).status, 0) << "off clears it to disabled too";
    EXPECT_THROW(model.set_fault(1, 7), std::invalid_argument);
}

TEST_F(SimModelTest, AClearErrorFrameWithoutAFaultIsOnlyAnswered) {
    send(standard(0x001, ENABLE_PAYLOAD), 0ms);
    EXPECT_EQ(status_after(CLEAR_ERROR_PAYLOAD, 0ms), 1);
    // Not taken for an MIT command, which would send the shaft toward +12.5 rad.
    EXPECT_NEAR(position_at(500ms), 0.0f, 0.001f);
}

TEST_F(SimModelTest, TemperaturesGoInBytesSixAndSeven) {
    EXPECT_EQ(state_at(0ms).temp_driver, 35);  // the factory values, as before
    EXPECT_EQ(state_at(0ms).temp_motor, 32);
    model.set_temperatures(1, 90, 255);
    EXPECT_EQ(state_at(0ms).temp_driver, 90);
    EXPECT_EQ(state_at(0ms).temp_motor, 255);
}

TEST_F(SimModelTest, TimeoutDropsAnEnabledMotorThatHearsNothingForThatLong) {
    using std::chrono::microseconds;
    // TIMEOUT 200 × 50 µs = 10 ms.
    const BusFrame write_timeout = standard(0x7FF, {0x01, 0x00, 0x55, 0x09, 200, 0, 0, 0});
    EXPECT_EQ(send(write_timeout, 0ms), standard(0x001, write_timeout.data));
    model.tick(start + 50ms);
    EXPECT_EQ(model.snapshot(1).status, 0) << "a disabled motor has nothing to drop";

    const MitCommand toward_one{1.0f, 0.0f, 5.0f, 1.0f, 0.0f};
    send(standard(0x001, ENABLE_PAYLOAD), 100ms);
    send(mit(toward_one), 100ms);
    // Frames to another motor do not keep this one alive.
    send(standard(0x7FF, {0x02, 0x00, 0xCC, 0, 0, 0, 0, 0}), 105ms);
    model.tick(start + 110ms - microseconds(1));
    EXPECT_EQ(model.snapshot(1).status, 1);
    model.tick(start + 110ms);
    EXPECT_EQ(model.snapshot(1).status, SimDamiaoMotor::COMMUNICATION_LOST);
    EXPECT_FALSE(model.snapshot(1).enabled);

    // Driven until the deadline, then no more: where a motor without the watch is at 110 ms.
    DamiaoBusModel reference{neck_motor_configs()};
    reference.handle(standard(0x001, ENABLE_PAYLOAD), start + 100ms);
    reference.handle(mit(toward_one), start + 100ms);
    reference.tick(start + 110ms);
    const float at_deadline = decode_state(
        YAW_LIMITS, reference.handle(standard(0x7FF, {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}),
                                     start + 110ms).frames.back().data)->position;
    EXPECT_GT(at_deadline, 0.01f);
    EXPECT_NEAR(position_at(500ms), at_deadline, 1e-4f);
    EXPECT_EQ(status_after(ENABLE_PAYLOAD, 500ms), SimDamiaoMotor::COMMUNICATION_LOST);

    // Cleared like any fault; frames in time keep it enabled; a late frame finds it dropped,
    // even without a tick in between.
    EXPECT_EQ(status_after(CLEAR_ERROR_PAYLOAD, 600ms), 0);
    EXPECT_EQ(status_after(ENABLE_PAYLOAD, 600ms), 1);
    for (auto at = 609ms; at < 700ms; at += 9ms) {
        model.tick(start + at);
        EXPECT_EQ(state_at(at).status, 1) << at.count();
    }
    EXPECT_EQ(state_at(720ms).status, SimDamiaoMotor::COMMUNICATION_LOST);
    model.set_fault(1, std::nullopt);
    EXPECT_EQ(model.snapshot(1).status, 0) << "fault off clears it too";
}

}  // namespace
}  // namespace kestro::sim
