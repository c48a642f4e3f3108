// The controller's neck operations against three simulated Damiao motors, through the
// product's SocketCAN transport code on a frame-record socket pair.
#include <cmath>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "common/text.hpp"
#include "src/controller/tests/sim_torso.hpp"

namespace kestro::controller {
namespace {

using namespace std::chrono_literals;
constexpr double TWO_PI = 2 * std::numbers::pi;

class NeckOperations : public ::testing::Test {
protected:
    void SetUp() override {
        log::Capture::instance().take();
        torso_ = SimTorso::start();
        controller_.emplace(torso_.controller(false));
    }

    sim::DamiaoBusModel& neck() { return *torso_.neck; }
    KestroMotorController& controller() { return *controller_; }

    SimTorso torso_;
    std::optional<KestroMotorController> controller_;
};

TEST(NeckClamp, GoalsOutsideTheSafeRangeAreClampedWithAWarning) {
    log::Capture::instance().take();
    EXPECT_EQ(KestroMotorController::clamp_neck_position(0, 0.7), 0.5);
    EXPECT_EQ(KestroMotorController::clamp_neck_position(1, -0.1), 0.0);
    EXPECT_EQ(KestroMotorController::clamp_neck_position(2, 0.4), 0.4);
    EXPECT_EQ(KestroMotorController::clamp_neck_position(2, -1.0), -0.4);
    EXPECT_TRUE(std::isnan(KestroMotorController::clamp_neck_position(0, std::nan(""))));

    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, log::Level::Warn);
    EXPECT_EQ(records[0].target, "kestro_motor_controller::controller");
    EXPECT_EQ(records[0].message,
              "neck_yaw requested position 0.7000 rad out of safe range [-0.5000, 0.5000]; "
              "clamped to 0.5000");
    EXPECT_EQ(records[1].message,
              "neck_pitch requested position -0.1000 rad out of safe range [0.0000, 0.4500]; "
              "clamped to 0.0000");
}

TEST_F(NeckOperations, EnablingForcesMitModeAndOnlyAFullSwitchChangesTheFlag) {
    EXPECT_FALSE(controller().neck_torque_enabled());
    ASSERT_TRUE(controller().enable_neck(true));
    EXPECT_TRUE(controller().neck_torque_enabled());
    for (std::uint16_t id : {1, 2, 3}) {
        EXPECT_TRUE(neck().snapshot(id).enabled);
        EXPECT_EQ(neck().snapshot(id).control_mode, 1u);
    }

    neck().set_silent(2, true);
    auto off = controller().enable_neck(false);
    ASSERT_FALSE(off);
    EXPECT_EQ(off.error().message(), "neck_pitch: disable failed: transport error: timeout waiting for frame");
    EXPECT_TRUE(controller().neck_torque_enabled());
    EXPECT_FALSE(neck().snapshot(1).enabled) << "the joint before the failure stays switched";
    EXPECT_TRUE(neck().snapshot(3).enabled) << "joints after the failure are not touched";
}

TEST_F(NeckOperations, ASilentRollMotorFailsTheModeCheckAndLeavesTheFlagOff) {
    neck().set_silent(3, true);
    auto on = controller().enable_neck(true);
    ASSERT_FALSE(on);
    EXPECT_EQ(on.error().message(),
              "neck_roll: ensure MIT mode failed: transport error: timeout waiting for frame");
    EXPECT_FALSE(controller().neck_torque_enabled());
    EXPECT_TRUE(neck().snapshot(1).enabled);
    EXPECT_TRUE(neck().snapshot(2).enabled);
}

TEST(NeckModes, AMotorInAnotherModeIsSwitchedToMitOrTheRefusalIsReported) {
    auto configs = sim::neck_motor_configs();
    configs[0].control_mode = 2;  // left in position-velocity mode by some other tool
    configs[1].control_mode = 3;
    SimTorso torso = SimTorso::start(configs);
    KestroMotorController controller = torso.controller(false);
    torso.neck->set_mode_locked(1, true);

    auto on = controller.enable_neck(true);
    ASSERT_FALSE(on);
    EXPECT_EQ(on.error().message(),
              "neck_yaw: ensure MIT mode failed: control mode verification failed: wrote 1, "
              "motor reports 2");

    torso.neck->set_mode_locked(1, false);
    ASSERT_TRUE(controller.enable_neck(true));
    EXPECT_EQ(torso.neck->snapshot(1).control_mode, 1u);
    EXPECT_EQ(torso.neck->snapshot(2).control_mode, 1u);
}

TEST_F(NeckOperations, GainsApplyToTheNextCommandOfThatJointOnly) {
    auto bad = controller().set_neck_gains(3, 10.0f, 1.0f);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "neck index out of range: 3");

    ASSERT_TRUE(controller().set_neck_gains(1, 20.0f, 0.5f));
    std::array<double, 3> goals{0.1, 0.2, 0.3};
    ASSERT_TRUE(controller().command_neck_mit(goals, "set_neck_position"));
    auto pitch = neck().snapshot(2).last_mit;
    ASSERT_TRUE(pitch);
    EXPECT_NEAR(pitch->kp, 20.0, 0.2);
    EXPECT_NEAR(pitch->kd, 0.5, 0.01);
    auto yaw = neck().snapshot(1).last_mit;
    ASSERT_TRUE(yaw);
    EXPECT_NEAR(yaw->kp, 30.0, 0.2);
    EXPECT_NEAR(yaw->kd, 1.0, 0.01);
}

TEST_F(NeckOperations, MitCommandsAreSentUnclampedAndAFailureNamesLabelAndJoint) {
    std::array<double, 3> goals{1.0, -1.0, 2.0};
    auto observed = controller().command_neck_mit(goals, "set_neck_position");
    ASSERT_TRUE(observed) << observed.error().message();
    EXPECT_NEAR(neck().snapshot(1).last_mit->position, 1.0, 1e-3);
    EXPECT_NEAR(neck().snapshot(3).last_mit->position, 2.0, 1e-3);
    EXPECT_TRUE(log::Capture::instance().take().empty()) << "no clamp, no warning";

    neck().set_silent(2, true);
    auto failed = controller().command_neck_mit(goals, "neck_home");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(),
              "neck_home(neck_pitch): transport error: timeout waiting for frame");
    EXPECT_EQ(controller().neck_commands()[1].position, -1.0f) << "stored even though it failed";
}

TEST_F(NeckOperations, TheThreeGoalSetterClampsEachGoalAndSendsTheMitFrames) {
    std::array<double, 3> goals{1.0, 1.0, 1.0};
    auto observed = controller().set_neck_position(goals);
    ASSERT_TRUE(observed) << observed.error().message();
    EXPECT_EQ(log::Capture::instance().take().size(), 3u);
    // Yaw at its 0.5 rad limit with its default gains kp 30, kd 1: P = 34078 (0x851E),
    // V = 2047, KP = 245, KD = 819, T = 2047.
    auto yaw = neck().snapshot(1).last_frame;
    ASSERT_TRUE(yaw);
    EXPECT_EQ(yaw->id, 1u);
    EXPECT_EQ(yaw->data, (std::vector<std::uint8_t>{0x85, 0x1E, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF}));
    EXPECT_EQ(controller().neck_commands()[1].position, 0.45f);
    EXPECT_EQ(controller().neck_commands()[2].position, 0.4f);
}

TEST_F(NeckOperations, NotANumberGoalsAreRefusedBeforeAnythingIsSent) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto before = controller().neck_commands();

    auto single = controller().set_single_neck_joint(1, nan);
    ASSERT_FALSE(single);
    EXPECT_EQ(single.error().message(), "neck_pitch requested position is not a number");

    std::array<double, 3> goals{0.1, 0.2, nan};
    auto all = controller().set_neck_position(goals);
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error().message(), "neck_roll requested position is not a number");

    EXPECT_EQ(controller().neck_commands(), before);
    for (std::uint16_t id : {1, 2, 3}) EXPECT_FALSE(neck().snapshot(id).last_frame) << id;
}

TEST_F(NeckOperations, InfiniteGoalsAreClampedLikeAnyOther) {
    const double inf = std::numeric_limits<double>::infinity();
    std::array<double, 3> goals{inf, -inf, -inf};
    ASSERT_TRUE(controller().set_neck_position(goals));
    EXPECT_EQ(controller().neck_commands()[0].position, 0.5f);
    EXPECT_EQ(controller().neck_commands()[1].position, 0.0f);
    EXPECT_EQ(controller().neck_commands()[2].position, -0.4f);
}

TEST_F(NeckOperations, SingleJointGoalsAreClampedAndGiveTheReportedPosition) {
    auto pitch = controller().set_single_neck_joint(1, 1.0);
    ASSERT_TRUE(pitch) << pitch.error().message();
    EXPECT_EQ(controller().neck_commands()[1].position, 0.45f);
    EXPECT_NEAR(neck().snapshot(2).last_mit->position, 0.45, 1e-3);
    EXPECT_EQ(log::Capture::instance().take().size(), 1u);

    neck().set_silent(3, true);
    auto roll = controller().set_single_neck_joint(2, 0.0);
    ASSERT_FALSE(roll);
    EXPECT_EQ(roll.error().message(),
              "set_neck_roll_position: transport error: timeout waiting for frame");
}

TEST_F(NeckOperations, FeedbackRequestsFindSilentMotorsAndReadPositions) {
    EXPECT_TRUE(controller().check_missing_neck_motors().empty());
    neck().place(1, 0.25, 1);
    auto positions = controller().read_neck_positions();
    ASSERT_TRUE(positions);
    EXPECT_NEAR((*positions)[0], 0.25 + TWO_PI, 1e-3);

    neck().set_silent(2, true);
    EXPECT_EQ(controller().check_missing_neck_motors(), std::vector<std::string>{"neck_pitch"});
    auto failed = controller().read_neck_positions();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(),
              "read_neck_positions(neck_pitch): transport error: timeout waiting for frame");
}

TEST_F(NeckOperations, HomingRampsEachJointToTheNearestWholeTurn) {
    neck().place(1, 0.1, 0);
    neck().place(2, -0.083, 1);   // 6.2 rad as reported
    neck().place(3, 3.083, -1);   // -3.2 rad as reported
    auto home = controller().neck_home(5.0, 0.15, 5.0f, std::nullopt);
    ASSERT_TRUE(home) << home.error().message();
    EXPECT_NEAR((*home)[0], 0.0, 0.15);
    EXPECT_NEAR((*home)[1], TWO_PI, 0.15);
    EXPECT_NEAR((*home)[2], -TWO_PI, 0.15);
    EXPECT_TRUE(controller().neck_torque_enabled()) << "homing enables and leaves the neck on";
    for (const auto& command : controller().neck_commands()) EXPECT_EQ(command.kp, 5.0f);
    EXPECT_EQ(controller().neck_commands()[0].kd, 1.0f);
    EXPECT_EQ(controller().neck_commands()[1].kd, 2.0f);
}

TEST_F(NeckOperations, HomingTellsItsProgressAfterEveryCommandExchange) {
    neck().place(1, 0.2, 0);
    neck().place(3, -0.1, 1);  // 6.18 rad as reported: homes to 2π
    std::vector<NeckPositions> observed;
    bool goals_constant = true;
    bool after_the_exchange = true;
    auto home = controller().neck_home(
        4.0, 0.05, {}, {}, {},
        [&](std::span<const double, 3> seen, std::span<const double, 3> goals) {
            observed.push_back({seen[0], seen[1], seen[2]});
            goals_constant = goals_constant && goals[0] == 0.0 && goals[1] == 0.0 && goals[2] == TWO_PI;
            // The cycle's command has gone out, and its reply is what the callback is told.
            auto yaw = neck().snapshot(1);
            after_the_exchange = after_the_exchange && yaw.last_mit &&
                                 std::fabs(yaw.position - seen[0]) < 1e-3;
        });
    ASSERT_TRUE(home) << home.error().message();
    EXPECT_TRUE(goals_constant);
    EXPECT_TRUE(after_the_exchange);
    // About 0.2 rad at 4 rad/s is five ramp cycles, then settling.
    ASSERT_GE(observed.size(), 5u);
    EXPECT_EQ(observed.back(), *home) << "the last exchange is the settled one";
    EXPECT_GT(observed.front()[0], 0.1) << "yaw starts near 0.2 and ramps down";
    EXPECT_LT(std::fabs(observed.back()[0]), 0.05);

    // Bad arguments fail before any exchange, so no progress is told.
    int calls = 0;
    auto refused = controller().neck_home(0.0, 0.05, {}, {}, {},
                                          [&](auto, auto) { ++calls; });
    EXPECT_FALSE(refused);
    EXPECT_EQ(calls, 0);
}

TEST_F(NeckOperations, HomingRejectsBadArgumentsBeforeSendingAnything) {
    auto slow = controller().neck_home(0.0, 0.15, 1.0f, std::nullopt);
    ASSERT_FALSE(slow);
    EXPECT_EQ(slow.error().message(), "neck_home: speed must be positive, got 0.0");
    EXPECT_EQ(controller().neck_home(-1.0, 0.15, {}, {}).error().message(),
              "neck_home: speed must be positive, got -1.0");
    EXPECT_EQ(controller().neck_home(0.4, 0.0, {}, {}).error().message(),
              "neck_home: tolerance must be positive, got 0.0");
    EXPECT_EQ(controller().neck_commands()[0].kp, 30.0f) << "rejected before the overrides";
    EXPECT_FALSE(neck().snapshot(1).last_frame);
}

TEST_F(NeckOperations, AnExhaustedCycleBudgetTimesOutWithTheLastObservations) {
    // The budget is the ramp in cycles plus 2000, counted in 32 bits: a ramp of 2^32 - 2000
    // cycles wraps it to zero, which times out before the first command.
    neck().place(1, 0.5, 0);
    auto start = controller().read_neck_positions();
    ASSERT_TRUE(start);
    double distance = (*start)[0];
    double speed = distance / (4294965296.5 * 0.01);
    auto home = controller().neck_home(speed, 0.15, {}, {});
    ASSERT_FALSE(home);
    EXPECT_EQ(home.error().message(),
              "neck_home: timed out before settling. observed=[" + text::shortest((*start)[0]) +
                  ", " + text::shortest((*start)[1]) + ", " + text::shortest((*start)[2]) +
                  "], goals=[0.0, 0.0, 0.0], settled=[false, false, false]");
}

TEST_F(NeckOperations, AJointThatNeverSettlesTimesOutAfterTheSettlingBudget) {
    // The joints start at their goals, so the budget is the 2000 settling cycles alone
    // (20 s of 10 ms waits, not waited out here); a blocked pitch keeps reporting 0.3 rad,
    // outside the 0.15 tolerance.
    neck().place(2, 0.3, 0);
    neck().set_stuck(2, true);
    std::vector<std::chrono::nanoseconds> waits;
    controller().set_homing_sleeper([&](std::chrono::nanoseconds wait, const CancelToken&) {
        waits.push_back(wait);
        return true;
    });
    int cycles = 0;
    auto home = controller().neck_home(100.0, 0.15, {}, {}, {}, [&](auto, auto) { ++cycles; });
    ASSERT_FALSE(home);
    EXPECT_EQ(cycles, 2000);
    EXPECT_EQ(waits, std::vector<std::chrono::nanoseconds>(2000, 10ms)) << "one 10 ms wait a cycle";
    // Yaw and roll may still creep toward their goals; the blocked pitch reads the same.
    auto last = controller().read_neck_positions();
    ASSERT_TRUE(last);
    const std::string& message = home.error().message();
    EXPECT_EQ(message.rfind("neck_home: timed out before settling. observed=[", 0), 0u) << message;
    EXPECT_NE(message.find(", " + text::shortest((*last)[1]) + ", "), std::string::npos) << message;
    const std::string tail = "], goals=[0.0, 0.0, 0.0], settled=[true, false, true]";
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
}

TEST_F(NeckOperations, AStopRequestEndsHomingBeforeItsNextStepAndLeavesTheControllerUsable) {
    // A pitch that never settles would keep homing busy for its whole 20 s budget.
    neck().place(2, 0.3, 0);
    neck().set_stuck(2, true);
    int polls = 0;
    std::optional<sim::BusFrame> frame_at_stop;
    CancelToken stop_after_a_few_cycles([&] {
        if (++polls < 20) return false;
        frame_at_stop = neck().snapshot(2).last_frame;
        return true;
    });
    const auto start = std::chrono::steady_clock::now();
    int progress_after_stop = 0;
    auto home = controller().neck_home(0.4, 0.15, {}, {}, stop_after_a_few_cycles,
                                       [&](auto, auto) { progress_after_stop += frame_at_stop ? 1 : 0; });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(progress_after_stop, 0) << "no exchange, so no progress, after the request";
    ASSERT_FALSE(home);
    EXPECT_TRUE(home.error().is_interrupted());
    EXPECT_EQ(home.error().message(), "neck_home: interrupted");
    ASSERT_TRUE(frame_at_stop);
    EXPECT_EQ(neck().snapshot(2).last_frame, frame_at_stop) << "no step after the request";
    EXPECT_TRUE(controller().neck_torque_enabled()) << "the motors keep holding";
    EXPECT_TRUE(controller().read_neck_positions());
}

}  // namespace
}  // namespace kestro::controller
