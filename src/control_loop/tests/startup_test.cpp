// Bringing a torso up: motor checks, the voltage wait, the reboot and the first reading.
#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "src/control_loop/tests/loop_fixture.hpp"

namespace kestro::control_loop {
namespace {

using sim::feetech_frame::Request;
namespace instruction = sim::feetech_frame::instruction;

using Startup = LoopFixture;

TEST(LoopConfigTest, AZeroPeriodOrZeroAttemptsAreRefused) {
    auto no_period = LoopConfig::make(std::nullopt, 0s, "can0", 5, std::nullopt, 30s);
    ASSERT_FALSE(no_period);
    EXPECT_EQ(no_period.error(), "read_position_loop_period must be greater than zero");
    auto no_attempts = LoopConfig::make(std::nullopt, 20ms, "can0", 0, std::nullopt, 30s);
    ASSERT_FALSE(no_attempts);
    EXPECT_EQ(no_attempts.error(), "allowed_retries must be at least 1 (it counts every attempt)");
}

TEST_F(Startup, ANeckOnlyLoopSkipsTheServosAndReportsZeroesForThem) {
    neck().place(2, 0.2, 0);
    auto loop = start_ok(config(std::nullopt));
    ASSERT_TRUE(loop);
    auto position = loop->get_last_position();
    ASSERT_TRUE(position);
    EXPECT_EQ(position->left_arm, (std::array<double, 2>{0.0, 0.0}));
    EXPECT_EQ(position->nose, (std::array<double, 3>{0.0, 0.0, 0.0}));
    EXPECT_NEAR(position->neck[1], 0.2, 1e-3);
    EXPECT_EQ(loop->is_torque_enabled(), false);
    EXPECT_FALSE(loop->get_stats());
    EXPECT_TRUE(servos().requests().empty());
    EXPECT_EQ(loop->motor_name_id().size(), 7u);
}

TEST_F(Startup, AMissingDevicePathIsReportedBeforeAnyBusIsOpened) {
    auto loop = start(config(std::string("/dev/kestro-unplugged")));
    ASSERT_FALSE(loop);
    EXPECT_EQ(to_string(loop.error()),
              "Check if your USB cable is connected. Could not find port: /dev/kestro-unplugged!");
    EXPECT_EQ(factory_calls_, 0);
}

TEST_F(Startup, AnyOpenFailureBecomesPortOpenFailed) {
    auto failing = [](const std::optional<std::string>&, const std::string&)
        -> controller::Outcome<controller::KestroMotorController> {
        return fail(controller::ControllerError("failed to open CAN bus 'can0': backend error: x"));
    };
    auto neck_only = KestroControlLoop::start(config(std::nullopt), failing);
    ASSERT_FALSE(neck_only);
    EXPECT_EQ(to_string(neck_only.error()),
              "Could not open serial port: ! Check permissions and if the port is already in use.");
    auto with_port = KestroControlLoop::start(config(serial_path()), failing);
    EXPECT_EQ(to_string(with_port.error()),
              "Could not open serial port: " + serial_path() +
                  "! Check permissions and if the port is already in use.");
}

TEST_F(Startup, SilentServosAreNamedInIdOrderBeforeTheNeckIsAsked) {
    servos().set_silent(6, true);
    servos().set_silent(3, true);
    neck().set_silent(1, true);
    auto loop = start(config(serial_path()));
    ASSERT_FALSE(loop);
    EXPECT_EQ(to_string(loop.error()), "Missing motors: [\"right_arm_pitch\", \"nose_left\"]!");
    EXPECT_FALSE(neck().snapshot(2).last_frame) << "the neck check must not run";

    for (std::uint8_t id = 1; id <= 7; ++id) servos().set_silent(id, true);
    EXPECT_EQ(to_string(start(config(serial_path())).error()),
              "No motors detected. Check if the power supply is connected and turned on!");
}

TEST_F(Startup, SilentNeckMotorsAreNamed) {
    neck().set_silent(3, true);
    auto loop = start(config(std::nullopt));
    ASSERT_FALSE(loop);
    EXPECT_EQ(to_string(loop.error()), "Missing motors: [\"neck_roll\"]!");
}

TEST_F(Startup, AStableSupplyLeadsStraightToTheRebootAndTheFirstReading) {
    servos().set_supply_voltage(110);  // exactly 11.0 V counts as stable
    for (std::uint8_t id = 1; id <= 7; ++id) servos().set_torque_enabled(id, true);
    auto loop = start_ok(config(serial_path()));
    ASSERT_TRUE(loop);
    auto records = log::Capture::instance().take();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].message, "Waiting for voltage to be stable at 12V...");
    EXPECT_EQ(records[0].level, log::Level::Info);
    EXPECT_EQ(records[0].target, "kestro_motor_controller::control_loop");
    const std::string stable = "Voltage is stable at ~12V: [110, 110, 110, 110, 110, 110, 110] (took ";
    ASSERT_EQ(records[1].message.rfind(stable, 0), 0u) << records[1].message;
    EXPECT_EQ(records[1].message.find("s)"), records[1].message.size() - 2);
    const std::string& took = records[1].message;
    EXPECT_TRUE(took.ends_with("ns)") || took.ends_with("µs)") ||
                (took.ends_with("ms)") && took.size() <= stable.size() + 7))
        << "well under 100 ms: " << took;
    EXPECT_EQ(records[2].message, "Rebooting motor left_arm_pitch (id=1)");

    std::size_t reboots = 0;
    for (const Request& r : servos().requests()) reboots += r.instruction == instruction::REBOOT;
    EXPECT_EQ(reboots, 7u);
    // The reboot switched torque off, and the start-up read the torque state afterwards.
    EXPECT_EQ(loop->is_torque_enabled(), false);
}

TEST_F(Startup, ALowSupplyTimesOutWithTheLowestReading) {
    for (auto [raw, shown] : {std::pair{105, "10.5"}, std::pair{109, "10.9"}}) {
        torso_ = controller::SimTorso::start();
        servos().set_supply_voltage(120);
        servos().set_voltage(4, static_cast<std::uint8_t>(raw));
        auto begun = std::chrono::steady_clock::now();
        auto loop = start(config(serial_path(), std::nullopt, 5, 0s));
        EXPECT_LT(std::chrono::steady_clock::now() - begun, 100ms) << "a zero time-out never sleeps";
        ASSERT_FALSE(loop);
        EXPECT_EQ(to_string(loop.error()),
                  std::string("Voltage did not ramp up to 12V (got ") + shown + "V) within 0ns!");
    }
}

TEST_F(Startup, TheVoltageWaitPollsUntilTheRailComesUp) {
    servos().set_supply_voltage(95);
    std::thread ramp([&] {
        std::this_thread::sleep_for(250ms);
        servos().set_supply_voltage(121);
    });
    auto loop = start_ok(config(serial_path(), std::nullopt, 5, 5s));
    ramp.join();
    ASSERT_TRUE(loop);
    std::size_t voltage_reads = 0;
    for (const Request& r : servos().requests()) {
        voltage_reads += r.instruction == instruction::SYNC_READ && r.params[0] == 62;
    }
    EXPECT_GE(voltage_reads, 4u) << "two group reads per poll, one poll every 100 ms";
}

// A stop request (Ctrl-C in Python) ends the start-up within one poll, wherever it waits,
// and closes what it opened: the serial port can be opened again at once.
TEST_F(Startup, AStopRequestEndsTheVoltageWaitAndReleasesThePort) {
    servos().set_supply_voltage(95);  // never comes up: the wait would last its 30 s
    std::atomic<bool> stop{false};
    std::thread person([&] {
        std::this_thread::sleep_for(150ms);
        stop = true;
    });
    const auto begun = std::chrono::steady_clock::now();
    auto loop = KestroControlLoop::start(config(serial_path()), factory(),
                                         CancelToken([&] { return stop.load(); }));
    const auto took = std::chrono::steady_clock::now() - begun;
    person.join();
    ASSERT_FALSE(loop);
    EXPECT_TRUE(std::holds_alternative<Interrupted>(loop.error()));
    EXPECT_EQ(to_string(loop.error()), "Start-up interrupted");
    EXPECT_LT(took, 1s);
    EXPECT_TRUE(servo_bus::SerialPort::open(serial_path())) << "the port was closed again";
}

TEST_F(Startup, AStopRequestEndsTheRebootWait) {
    servos().set_supply_voltage(121);
    servos().set_reboot_silence(5s);  // the reboot wait would give up only after its 1 s
    int polls = 0;
    CancelToken stop_soon([&] { return ++polls > 30; });
    const auto begun = std::chrono::steady_clock::now();
    auto loop = KestroControlLoop::start(config(serial_path()), factory(), stop_soon);
    ASSERT_FALSE(loop);
    EXPECT_TRUE(std::holds_alternative<Interrupted>(loop.error()));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 900ms);
}

TEST_F(Startup, AStopRequestBeforeThePresenceCheckReportsNoMissingMotors) {
    // Asked before the first ping: no presence verdict is made up from a cut-short check.
    auto at_once = KestroControlLoop::start(config(serial_path()), factory(),
                                            CancelToken([] { return true; }));
    ASSERT_FALSE(at_once);
    EXPECT_TRUE(std::holds_alternative<Interrupted>(at_once.error()));
}

}  // namespace
}  // namespace kestro::control_loop
