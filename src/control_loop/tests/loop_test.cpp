// A running loop: periodic reads, queued commands, requests, statistics and shutdown.
#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "src/control_loop/retry.hpp"
#include "src/control_loop/tests/loop_fixture.hpp"

namespace kestro::control_loop {

namespace {

using sim::feetech_frame::Request;
namespace instruction = sim::feetech_frame::instruction;
using Clock = std::chrono::steady_clock;
using Loop = LoopFixture;

std::size_t count_requests(sim::FeetechBusModel& servos, std::uint8_t id, std::uint8_t instruction) {
    std::size_t n = 0;
    for (const Request& r : servos.requests()) n += r.id == id && r.instruction == instruction;
    return n;
}

TEST_F(Loop, TicksKeepTheLastPositionFreshAndAFailedReadStoresTheError) {
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    servos().set_present_position(5, 2048 + 512);
    EXPECT_TRUE(eventually([&] {
        auto p = loop->get_last_position();
        return p && std::abs(p->nose[0] - 0.78539816) < 1e-6;
    }));

    neck().set_silent(2, true);
    EXPECT_TRUE(eventually([&] {
        auto p = loop->get_last_position();
        return !p && std::holds_alternative<CommunicationError>(p.error());
    })) << "a neck feedback failure fails the whole reading";

    neck().set_silent(2, false);
    EXPECT_TRUE(eventually([&] { return loop->get_last_position().has_value(); }));
}

TEST_F(Loop, CommandsReachTheBusesAndTorqueCommandsUpdateTheTorqueState) {
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    ASSERT_TRUE(loop->send(command::EnableTorqueOnIds{{5}}));
    EXPECT_TRUE(eventually([&] { return loop->is_torque_enabled() == true; }))
        << "any successful torque command speaks for the whole torso";
    // The switch is a group write, which gets no reply: the command is done once it is sent,
    // and the servos may take it in a moment later.
    EXPECT_TRUE(eventually([&] { return servos().torque_enabled(5) == true; }));
    EXPECT_EQ(servos().torque_enabled(1), false);

    ASSERT_TRUE(loop->send(command::SetNeckYawPosition{2.0}));
    EXPECT_TRUE(eventually([&] {
        auto yaw = neck().snapshot(1).last_mit;
        return yaw && std::abs(yaw->position - 0.5) < 1e-3;
    })) << "the loop clamps neck goals";

    KestroTorsoPosition goals{{0.1, 0.2}, {0.3, 0.4}, {0.5, 0.6, 0.7}, {9.0, 9.0, 9.0}, 0.0};
    ASSERT_TRUE(loop->send(command::SetAllGoalPositions{goals}));
    EXPECT_TRUE(eventually([&] { return servos().goal_position(7) == 2504; }));  // 0.7 rad
    EXPECT_EQ(servos().goal_position(1), 2113);                                     // 0.1 rad

    ASSERT_TRUE(loop->send(command::DisableTorque{}));
    EXPECT_TRUE(eventually([&] { return loop->is_torque_enabled() == false; }));
}

TEST_F(Loop, FailedCommandsLeaveTheTorqueStateAlone) {
    auto loop = start_ok(config(std::nullopt));
    ASSERT_TRUE(loop);
    ASSERT_TRUE(loop->send(command::EnableTorque{}));  // no serial port: fails quietly
    ASSERT_TRUE(loop->send(command::EnableTorqueOnIds{{}}));  // nothing to switch: succeeds
    EXPECT_TRUE(eventually([&] { return loop->is_torque_enabled() == true; }));
    ASSERT_TRUE(loop->send(command::DisableTorque{}));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(loop->is_torque_enabled(), true);
}

TEST_F(Loop, RawRequestsAnswerOrCloseTheirChannel) {
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    servos().set_register(1, 21, 10);
    servos().set_register(1, 22, 20);
    servos().set_register(1, 23, 30);
    auto gains = loop->async_read_raw_bytes(1, 21, 3);
    ASSERT_TRUE(gains);
    EXPECT_EQ(*gains, (Bytes{10, 20, 30}));

    ASSERT_TRUE(loop->send(command::WriteRawBytes{2, 21, {7, 8, 9}}));
    EXPECT_TRUE(eventually([&] { return servos().register_value(2, 23) == 9; }));

    auto echo = loop->write_raw_packet({0xFF, 0xFF, 0x03, 0x02, 0x01, 0xF9});
    ASSERT_TRUE(echo);
    EXPECT_EQ(*echo, (Bytes{0xFF, 0xFF, 0x03, 0x02, 0x00, 0xFA}));
}

TEST_F(Loop, ARawReadOfASilentServoTakesEveryAttemptThenFails) {
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    servos().set_silent(7, true);
    servos().clear_requests();
    auto begun = Clock::now();
    auto bytes = loop->async_read_raw_bytes(7, 56, 2);
    ASSERT_FALSE(bytes);
    EXPECT_EQ(bytes.error(), WaitFailure::NoReply);
    EXPECT_GE(Clock::now() - begun, 4 * RETRY_PAUSE);
    EXPECT_EQ(count_requests(servos(), 7, instruction::READ), 5u);
}

TEST_F(Loop, OnANeckOnlyLoopSerialRequestsFailWithoutWaitingOut) {
    auto loop = start_ok(config(std::nullopt));
    ASSERT_TRUE(loop);
    auto begun = Clock::now();
    auto bytes = loop->async_read_raw_bytes(1, 56, 2);
    ASSERT_FALSE(bytes);
    EXPECT_LT(Clock::now() - begun, 500ms);
    EXPECT_EQ(loop->write_raw_packet({1, 2, 3}).error(), WaitFailure::NoReply);
}

TEST_F(Loop, CloseRunsTheQueuedCommandsFirstAndLaterRequestsFail) {
    auto loop = start_ok(config(std::nullopt, std::nullopt, 5, 30s, 50ms));
    ASSERT_TRUE(loop);
    for (int i = 1; i <= 20; ++i) ASSERT_TRUE(loop->send(command::SetNeckRollPosition{0.01 * i}));
    ASSERT_TRUE(loop->close());
    EXPECT_NEAR(neck().snapshot(3).last_mit->position, 0.2, 1e-3);

    auto begun = Clock::now();
    ASSERT_TRUE(loop->close());
    EXPECT_LT(Clock::now() - begun, 10ms) << "a second close has nothing to wait for";
    EXPECT_FALSE(loop->send(command::EnableTorque{}));
    EXPECT_EQ(loop->async_read_raw_bytes(1, 40, 1).error(), WaitFailure::ChannelClosed);
    EXPECT_EQ(loop->write_raw_packet({1}).error(), WaitFailure::ChannelClosed);
    EXPECT_TRUE(loop->get_last_position()) << "the last reading stays available";
}

TEST_F(Loop, AFullQueueHoldsTheProducerUntilTheLoopTakesACommand) {
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    // Keep the loop busy with a read that times out five times (about 150 ms)...
    servos().set_silent(7, true);
    auto [reply, answer] = reply_channel();
    ASSERT_TRUE(loop->send(command::ReadRawBytes{7, 56, 2, std::move(reply)}));
    std::this_thread::sleep_for(20ms);
    // ...while 100 commands fill the queue.
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(loop->send(command::EnableArms{false}));
    auto begun = Clock::now();
    ASSERT_TRUE(loop->send(command::EnableArms{false}));
    EXPECT_GE(Clock::now() - begun, 30ms) << "the 101st command must wait for a free slot";
}

TEST_F(Loop, StatisticsPublishPeriodsAtOnceAndDurationsInBatches) {
    auto loop = start_ok(config(std::nullopt, 200ms));
    ASSERT_TRUE(loop);
    EXPECT_TRUE(eventually([&] { return !loop->get_stats()->period.empty(); }));
    auto early = loop->get_stats();
    EXPECT_TRUE(early->read_dt.empty());
    ASSERT_TRUE(loop->send(command::SetNeckPitchPosition{0.1}));
    EXPECT_TRUE(eventually([&] {
        auto stats = loop->get_stats();
        return !stats->read_dt.empty() && !stats->write_dt.empty();
    }));
    auto stats = *loop->get_stats();
    for (double period : std::vector(stats.period.begin() + 1, stats.period.end())) {
        EXPECT_NEAR(period, 0.020, 0.015);
    }
}

TEST_F(Loop, PoisonedCellsAreReportedAndStillRead) {
    auto loop = start_ok(config(std::nullopt, 1s));
    ASSERT_TRUE(loop);
    LoopCells& cells = ControlLoopTestAccess::cells(*loop);
    ControlLoopTestAccess::poison(cells.last_position);
    ControlLoopTestAccess::poison(cells.last_torque);
    ControlLoopTestAccess::poison(*cells.last_stats);
    log::Capture::instance().take();

    EXPECT_TRUE(loop->get_last_position());
    EXPECT_EQ(loop->is_torque_enabled(), false);
    EXPECT_TRUE(loop->get_stats());
    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, "last_position mutex was poisoned");
    EXPECT_EQ(records[1].message, "last_torque mutex was poisoned");
    EXPECT_EQ(records[2].message, "last_stats mutex was poisoned");
    EXPECT_EQ(records[2].level, log::Level::Error);
    EXPECT_EQ(records[2].target, "kestro_motor_controller::control_loop");

    // A poisoned torque cell is not updated, and the command still counts as done.
    ASSERT_TRUE(loop->send(command::EnableTorqueOnIds{{}}));
    ASSERT_TRUE(loop->close());
    EXPECT_EQ(loop->is_torque_enabled(), false);
}

// Whether a fault escapes the loop or the thread is ended from outside, the queue closes with
// the thread, the buses are released, and `close` reports the abnormal end.
class LoopThreadEnd : public LoopFixture, public ::testing::WithParamInterface<Fault> {};

TEST_P(LoopThreadEnd, ClosesTheQueueAndIsReportedAtClose) {
    auto loop = start_ok(config(std::nullopt));
    ASSERT_TRUE(loop);
    fault_ = GetParam();
    EXPECT_TRUE(eventually([&] { return !loop->send(command::EnableTorque{}); }))
        << "the queue closes when the thread ends";
    log::Capture::instance().take();
    ASSERT_TRUE(loop->close());
    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Failed to join control loop thread: Any { .. }");
    EXPECT_EQ(records[0].level, log::Level::Error);
}

INSTANTIATE_TEST_SUITE_P(FaultOrExit, LoopThreadEnd, ::testing::Values(Fault::Throw, Fault::ExitThread));

TEST_F(Loop, AFaultIsReportedWithThePoisonedHandleNote) {
    auto loop = start_ok(config(std::nullopt));
    ASSERT_TRUE(loop);
    fault_ = Fault::Throw;
    EXPECT_TRUE(eventually([&] { return !loop->send(command::EnableTorque{}); }));
    ControlLoopTestAccess::poison_thread_handle(*loop);
    log::Capture::instance().take();
    ASSERT_TRUE(loop->close());
    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Failed to join control loop thread (poisoned): Any { .. }");
}

TEST_F(Loop, CloseWakesAnIdleLoopAtOnceAndStillRunsTheQueuedCommands) {
    auto loop = start_ok(config(std::nullopt, std::nullopt, 5, 30s, 5s));
    ASSERT_TRUE(loop);
    std::this_thread::sleep_for(50ms);  // past the first tick: the next is 5 s away
    ASSERT_TRUE(loop->send(command::SetNeckRollPosition{0.3}));
    const auto begun = Clock::now();
    ASSERT_TRUE(loop->close());
    EXPECT_LT(Clock::now() - begun, 500ms);
    EXPECT_NEAR(neck().snapshot(3).last_mit->position, 0.3, 1e-3);
}

TEST_F(Loop, AHugePeriodGivesTheFirstTickAndNoOther) {
    auto loop = start_ok(config(serial_path(), std::nullopt, 5, 30s, std::chrono::nanoseconds::max()));
    ASSERT_TRUE(loop);
    std::this_thread::sleep_for(20ms);
    servos().clear_requests();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count_requests(servos(), 0xFE, instruction::SYNC_READ), 0u);
    const auto begun = Clock::now();
    ASSERT_TRUE(loop->close());
    EXPECT_LT(Clock::now() - begun, 500ms);
}

// Waits on the loop can be given up (Ctrl-C in Python) without harm: a command that found no
// room is not queued, a request whose answer is given up still runs, and a given-up close
// leaves a loop that a later close ends.
TEST_F(Loop, StoppedWaitsLeaveTheQueueAndTheLoopInAKnownState) {
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    servos().set_silent(7, true);
    auto [reply, answer] = reply_channel();
    ASSERT_TRUE(loop->send(command::ReadRawBytes{7, 56, 2, std::move(reply)}));  // ~150 ms
    std::this_thread::sleep_for(20ms);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(loop->send(command::EnableArms{false}));
    int polls = 0;
    CancelToken soon([&] { return ++polls > 2; });
    auto begun = Clock::now();
    EXPECT_EQ(loop->send(command::EnableArms{true}, soon).error(), WaitFailure::Interrupted);
    EXPECT_LT(Clock::now() - begun, 100ms);
    CancelToken now([] { return true; });
    EXPECT_EQ(loop->async_read_raw_bytes(1, 56, 2, now).error(), WaitFailure::Interrupted)
        << "the queue is still full";
    servos().set_silent(7, false);
    EXPECT_TRUE(eventually([&] { return count_requests(servos(), 0xFE, instruction::SYNC_WRITE) >= 100; }));
    servos().clear_requests();
    servos().set_silent(1, true);
    auto given_up = loop->async_read_raw_bytes(1, 56, 2, CancelToken([&] {
        return count_requests(servos(), 1, instruction::READ) > 0;
    }));
    ASSERT_FALSE(given_up);
    EXPECT_EQ(given_up.error(), WaitFailure::Interrupted);
    EXPECT_TRUE(eventually([&] { return count_requests(servos(), 1, instruction::READ) == 5; }))
        << "the request still ran, with all its attempts";

    servos().set_silent(7, true);
    auto [late, late_answer] = reply_channel();
    ASSERT_TRUE(loop->send(command::ReadRawBytes{7, 56, 2, std::move(late)}));
    EXPECT_EQ(loop->close(now).error(), WaitFailure::Interrupted);
    ASSERT_TRUE(loop->close());
    EXPECT_EQ(loop->send(command::EnableArms{true}).error(), WaitFailure::ChannelClosed);
    // Of the torque commands only the 100 that were queued arrived, all with torque off.
    std::size_t torque_on = 0;
    for (const auto& r : servos().requests()) {
        torque_on += r.instruction == instruction::SYNC_WRITE && r.params[0] == 40 && r.params[3] == 1;
    }
    EXPECT_EQ(torque_on, 0u);
}

// A command set aside because the tick went first keeps its slot: with every tick due and
// slow, the 101st command is accepted only when the loop starts one.
TEST_F(Loop, TheQueueNeverHoldsMoreThanItsCapacity) {
    auto loop = start_ok(config(serial_path(), std::nullopt, 5, 30s, 1ms));
    ASSERT_TRUE(loop);
    servos().set_silent(7, true);  // every tick now takes five attempts, about 150 ms
    std::this_thread::sleep_for(50ms);
    for (int round = 0; round < 3; ++round) {
        servos().clear_requests();
        while (loop->send(command::EnableArms{false}, CancelToken([] { return true; }))) {
        }
        servos().clear_requests();
        ASSERT_TRUE(loop->send(command::EnableArms{false}));
        const auto accepted = Clock::now();
        while (count_requests(servos(), 0xFE, instruction::SYNC_WRITE) == 0 &&
               Clock::now() - accepted < 1s) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_LT(Clock::now() - accepted, 60ms) << "a slot frees only when a command starts";
    }
}

}  // namespace
}  // namespace kestro::control_loop
