// Torque on holds the pose: servos this controller gave no goal since their torque went off
// get their present position as goal first; the goals it gave still run. Servo goals are
// refused outside one turn.
#include <cmath>
#include <functional>
#include <numbers>

#include "src/controller/tests/serial_fixture.hpp"

namespace kestro::controller {
namespace {

constexpr double PI = std::numbers::pi;

Request sync_read_position(std::vector<std::uint8_t> ids) {
    std::vector<std::uint8_t> params{56, 2};
    params.insert(params.end(), ids.begin(), ids.end());
    return {0xFE, instruction::SYNC_READ, params};
}

Request sync_write_goals(const std::vector<std::pair<std::uint8_t, int>>& goals) {
    std::vector<std::uint8_t> params{42, 2};
    for (auto [id, counts] : goals) {
        params.insert(params.end(), {id, static_cast<std::uint8_t>(counts & 0xFF),
                                     static_cast<std::uint8_t>(counts >> 8)});
    }
    return {0xFE, instruction::SYNC_WRITE, params};
}

Request sync_write_torque(std::vector<std::uint8_t> ids, std::uint8_t value) {
    std::vector<std::uint8_t> params{40, 1};
    for (std::uint8_t id : ids) params.insert(params.end(), {id, value});
    return {0xFE, instruction::SYNC_WRITE, params};
}

class Torque : public SerialOperations {
protected:
    // Servos turned by hand while torque is off: their goal registers still say 2048.
    void turn_by_hand() {
        for (std::uint8_t id = 1; id <= 7; ++id) servos().set_present_position(id, 2048 + 100 * id);
    }
    std::vector<Request> exactly(std::size_t count) {
        auto requests = wait_for_requests(count);
        std::this_thread::sleep_for(20ms);  // nothing more may follow
        EXPECT_EQ(servos().requests().size(), count);
        return requests;
    }
};

TEST_F(Torque, EveryGroupIsReadAndHeldBeforeTheFirstTorqueWrite) {
    turn_by_hand();
    ASSERT_TRUE(controller().set_all_torque(true));
    const auto requests = exactly(6);
    EXPECT_EQ(requests, (std::vector<Request>{
                            sync_read_position({1, 2, 3, 4}),
                            sync_read_position({5, 6, 7}),
                            sync_write_goals({{1, 2148}, {2, 2248}, {3, 2348}, {4, 2448}}),
                            sync_write_goals({{5, 2548}, {6, 2648}, {7, 2748}}),
                            sync_write_torque({1, 2, 3, 4}, 1),
                            sync_write_torque({5, 6, 7}, 1),
                        }));
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(servos().goal_position(id), 2048 + 100 * id);

    // Held goals are goals given: enabling again reads nothing.
    servos().clear_requests();
    ASSERT_TRUE(controller().set_arm_torque(true));
    EXPECT_EQ(exactly(1), (std::vector<Request>{sync_write_torque({1, 2, 3, 4}, 1)}));
}

TEST_F(Torque, OnlyTheServosBeingEnabledAndWithoutAGivenGoalAreHeld) {
    turn_by_hand();
    const std::array<double, 2> left{0.5, -0.5};
    ASSERT_TRUE(controller().set_arm_goal_positions(LEFT_ARM_IDS, left));
    exactly(1);
    servos().clear_requests();
    // Repeats and strangers are switched as before; each servo is held once.
    const std::array<std::uint8_t, 6> ids{6, 2, 3, 6, 9, 1};
    ASSERT_TRUE(controller().set_torque_on_ids(ids, true));
    EXPECT_EQ(exactly(6), (std::vector<Request>{
                              sync_read_position({3}),
                              sync_read_position({6}),
                              sync_write_goals({{3, 2348}}),
                              sync_write_goals({{6, 2648}}),
                              sync_write_torque({2, 3, 1}, 1),
                              sync_write_torque({6, 6}, 1),
                          }));
    EXPECT_EQ(servos().goal_position(1), 2373);  // 0.5 rad, the goal given, not the pose
    EXPECT_EQ(servos().goal_position(5), 2048);  // not enabled, not touched

    servos().clear_requests();
    const std::array<std::uint8_t, 3> strangers{0, 8, 200};
    EXPECT_TRUE(controller().set_torque_on_ids(strangers, true));
    EXPECT_TRUE(controller().set_torque_on_ids({}, true));
    exactly(0);
}

TEST_F(Torque, EveryWayOfSwitchingTorqueOffOrRebootingForgetsTheGoalsGiven) {
    const std::array<double, 7> zeros{};
    const std::array<std::uint8_t, 1> servo_2{2};
    const std::array<std::uint8_t, 1> torque_off{0};
    const std::array<std::uint8_t, 2> goal_2100{0x34, 0x08};
    // The servos whose pose torque on holds: the ids of its reads, which are done when it returns.
    auto held_on_enable = [&] {
        servos().clear_requests();
        EXPECT_TRUE(controller().set_all_torque(true));
        std::vector<std::uint8_t> held;
        for (const Request& request : servos().requests()) {
            if (request.instruction != instruction::SYNC_READ) continue;
            held.insert(held.end(), request.params.begin() + 2, request.params.end());
        }
        return held;
    };
    const auto switch_off = std::to_array<std::function<void()>>({
        [&] { ASSERT_TRUE(controller().set_all_torque(false)); },
        [&] { ASSERT_TRUE(controller().set_arm_torque(false)); },
        [&] { ASSERT_TRUE(controller().set_torque_on_ids(servo_2, false)); },
        [&] { ASSERT_TRUE(controller().write_raw_bytes(2, 40, torque_off)); },
        [&] { ASSERT_TRUE(controller().reboot(1s)); },
        [&] { ASSERT_TRUE(controller().set_arm_home(0.05)); },
    });
    for (std::size_t way = 0; way < switch_off.size(); ++way) {
        ASSERT_TRUE(controller().set_all_goal_positions(zeros));
        EXPECT_TRUE(held_on_enable().empty()) << way;
        switch_off[way]();
        EXPECT_EQ(std::ranges::count(held_on_enable(), 2), 1) << way;
    }

    // A raw write of the goal register is a goal given.
    ASSERT_TRUE(controller().set_all_torque(false));
    ASSERT_TRUE(controller().write_raw_bytes(2, 42, goal_2100));
    EXPECT_EQ(held_on_enable(), (std::vector<std::uint8_t>{1, 3, 4, 5, 6, 7}));
    EXPECT_EQ(servos().goal_position(2), 2100);
}

TEST_F(Torque, AFailedReadSwitchesNoTorqueAndWritesNothing) {
    servos().set_silent(6, true);
    auto enabled = controller().set_all_torque(true);
    ASSERT_FALSE(enabled);
    auto positions = controller().read_all_positions();
    ASSERT_FALSE(positions);
    EXPECT_EQ(enabled.error().message(),
              positions.error().message() +
                  "; torque not enabled: present positions of servos [5, 6, 7] could not be read");
    servos().clear_requests();
    ASSERT_FALSE(controller().set_all_torque(true));
    for (const Request& request : exactly(2)) EXPECT_EQ(request.instruction, instruction::SYNC_READ);
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(servos().torque_enabled(id), false) << int(id);
}

TEST_F(Torque, NeckOnlyControllersKeepTheirTexts) {
    auto neck_only = torso_.controller(false);
    EXPECT_EQ(neck_only.set_all_torque(true).error().message(), NO_SERIAL_PORT);
    const std::array<std::uint8_t, 2> strangers{0, 9};
    EXPECT_TRUE(neck_only.set_torque_on_ids(strangers, true));
}

TEST_F(Torque, GoalsOutsideOneTurnAreRefusedBeforeAnythingIsSent) {
    const std::array<std::pair<double, const char*>, 4> refused{{
        {100.0, "left_arm_pitch goal 100.0 rad is outside the servo's range [-3.1416, 3.1416]"},
        {-3.5, "left_arm_pitch goal -3.5 rad is outside the servo's range [-3.1416, 3.1416]"},
        {std::nextafter(PI, 4.0), "left_arm_pitch goal 3.1415926535897936 rad is outside the servo's range [-3.1416, 3.1416]"},
        {-INFINITY, "left_arm_pitch goal position must be finite, got -inf"},
    }};
    for (auto [goal, text] : refused) {
        const std::array<double, 7> goals{goal, 0, 0, 0, 0, 0, 0};
        auto sent = controller().set_all_goal_positions(goals);
        ASSERT_FALSE(sent);
        EXPECT_TRUE(sent.error().is_invalid_argument());
        EXPECT_EQ(sent.error().message(), text);
    }
    const std::array<double, 3> nose{0.0, 0.0, 7.0};
    EXPECT_EQ(controller().set_nose_goal_positions(nose).error().message(),
              "nose_right goal 7.0 rad is outside the servo's range [-3.1416, 3.1416]");
    const std::array<double, 2> right{-PI, PI + 1};
    EXPECT_EQ(controller().set_arm_goal_positions(RIGHT_ARM_IDS, right).error().message(),
              "right_arm_yaw goal 4.141592653589793 rad is outside the servo's range [-3.1416, 3.1416]");
    exactly(0);

    const std::array<double, 7> ends{-PI, PI, -PI, PI, -PI, PI, 0};
    ASSERT_TRUE(controller().set_all_goal_positions(ends));
    wait_for_requests(2);
    EXPECT_EQ(servos().goal_position(1), 0);
    EXPECT_EQ(servos().goal_position(2), 4096);
}

}  // namespace
}  // namespace kestro::controller
