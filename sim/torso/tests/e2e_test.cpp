// End to end: the unmodified torso controller against kestro-torso-sim running as a separate
// process, over the simulator's pseudo-terminal and, for the neck, through the preload library
// (this test runs with LD_PRELOAD and KESTRO_CAN_PRELOAD set), exactly as a robot developer's
// code would run on a machine without CAN.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <thread>

#include <gtest/gtest.h>

#include "can_motor/transport/socketcan_backend.hpp"
#include "sim/torso/tests/sim_process.hpp"
#include "src/controller/controller.hpp"

namespace kestro::sim::torso {
namespace {

using namespace std::chrono_literals;
using controller::KestroMotorController;
using testing::SimProcess;
using Clock = std::chrono::steady_clock;

constexpr double TWO_PI = 2 * std::numbers::pi;

using can_motor::CanError;
using can_motor::CanFrame;
using can_motor::CanId;
using can_motor::SocketCanTransport;

// A status request to neck motor 1, which answers from feedback id 1.
const CanFrame STATUS_REQUEST{CanId::standard(0x7FF), {0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}, false,
                              false};

// The text of the error a CAN call that failed with `error` gives.
std::string os_error(int error) {
    return CanError::backend(IoError::from_errno(error)).to_string();
}

template <class T>
std::string error_of(const Result<T, CanError>& result) {
    return result ? "success" : result.error().to_string();
}

// Whether motor 1 answers a status request on `bus` within a second.
bool answered(SocketCanTransport& bus) {
    if (!bus.send(STATUS_REQUEST)) return false;
    const auto deadline = Clock::now() + 1s;
    while (Clock::now() < deadline) {
        const auto frame = bus.recv(100ms);
        if (frame && frame->id == CanId::standard(0x001)) return true;
    }
    return false;
}

// Counts a servo reports for `radians` (2048 = 0 rad, 4096 per turn).
double counts(double radians) { return 2048 + radians * 4096 / TWO_PI; }

class TorsoE2e : public ::testing::Test {
protected:
    // Starts the simulator with `extra` options and a controller on it.
    void start(std::vector<std::string> extra = {}) {
        const auto setting = testing::preload_setting();
        ASSERT_FALSE(setting.ifname.empty()) << "run through meson: KESTRO_CAN_PRELOAD is unset";
        ifname_ = setting.ifname;
        extra.insert(extra.begin(), {"--can-socket", setting.socket_path});
        sim_.emplace(extra);
        ASSERT_TRUE(sim_->ready()) << "kestro-torso-sim (KESTRO_TORSO_SIM) did not get ready";
        controller_ = connect();
    }

    // A simulator that did not stop cleanly (a sanitizer finding in it, for one) fails the test.
    void TearDown() override {
        controller_.reset();
        if (sim_) {
            EXPECT_EQ(sim_->stop(), 0) << "kestro-torso-sim exit status";
        }
    }

    std::optional<KestroMotorController> connect(bool with_servos = true) {
        auto created = KestroMotorController::create(
            with_servos ? std::optional(sim_->serial_device()) : std::nullopt, ifname_);
        EXPECT_TRUE(created) << created.error().message();
        if (!created) return std::nullopt;
        return std::move(*created);
    }

    std::string command(const std::string& line) { return sim_->command(line); }
    KestroMotorController& controller() { return *controller_; }

    // Group writes get no reply, so the servos may take them in after the call returns: asks
    // `line` until the answer is `expected`, for at most 10 s; gives the last answer.
    std::string eventually(const std::string& line, const std::string& expected) {
        const auto deadline = Clock::now() + 10s;
        std::string answer = command(line);
        while (answer != expected && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
            answer = command(line);
        }
        return answer;
    }

    // Polls the simulator until servo `id` reports `target` counts (±2), for at most 10 s.
    bool servo_reaches(int id, double target) {
        const auto deadline = Clock::now() + 10s;
        for (;;) {
            const std::string answer = command("servo " + std::to_string(id) + " position");
            if (answer.starts_with("ok ") && std::fabs(std::stod(answer.substr(3)) - target) <= 2) {
                return true;
            }
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
    }

    std::string ifname_;
    std::optional<SimProcess> sim_;
    std::optional<KestroMotorController> controller_;
};

TEST_F(TorsoE2e, FindsEveryMotorReadsThemAndReportsScriptedFaults) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(controller().check_missing_ids().empty());
    EXPECT_TRUE(controller().check_missing_neck_motors().empty());
    auto positions = controller().read_all_positions();
    ASSERT_TRUE(positions) << positions.error().message();
    for (double p : *positions) EXPECT_NEAR(p, 0.0, 1e-9);
    auto voltages = controller().read_all_voltages();
    ASSERT_TRUE(voltages) << voltages.error().message();
    for (auto v : *voltages) EXPECT_EQ(v, 120);

    EXPECT_EQ(command("servo 3 silent on"), "ok");
    EXPECT_EQ(command("motor 2 silent on"), "ok");
    EXPECT_EQ(controller().check_missing_ids(), (std::vector<std::uint8_t>{3}));
    EXPECT_EQ(controller().check_missing_neck_motors(), (std::vector<std::string>{"neck_pitch"}));
    EXPECT_EQ(command("servo 3 silent off"), "ok");
    EXPECT_EQ(command("motor 2 silent off"), "ok");

    EXPECT_EQ(command("servo 6 corrupt on"), "ok");
    auto corrupted = controller().read_all_positions();
    ASSERT_FALSE(corrupted);
    EXPECT_EQ(corrupted.error().message(), "Checksum error");
    EXPECT_EQ(command("servo 6 corrupt off"), "ok");

    EXPECT_EQ(command("stray 5"), "ok");
    // The terminal hands written bytes on a moment later; noise landing mid-reply would
    // rightly fail the read.
    std::this_thread::sleep_for(20ms);
    auto drained = controller().read_all_positions();
    EXPECT_TRUE(drained) << "a burst of noise is drained first: " << drained.error().message();
    EXPECT_EQ(command("stray continuous on"), "ok");
    std::this_thread::sleep_for(20ms);  // noise already waiting when the read begins
    auto noisy = controller().read_all_positions();
    ASSERT_FALSE(noisy);
    EXPECT_EQ(noisy.error().message(), "Timeout error");
    EXPECT_EQ(command("stray continuous off"), "ok");

    EXPECT_EQ(command("servo all voltage 95"), "ok");
    voltages = controller().read_all_voltages();
    ASSERT_TRUE(voltages) << voltages.error().message();
    for (auto v : *voltages) EXPECT_EQ(v, 95);
}

TEST_F(TorsoE2e, SupplyRampsUpFromALowStartUnlessHeldLow) {
    ASSERT_NO_FATAL_FAILURE(start({"--voltage", "60", "--ramp", "300"}));
    auto early = controller().read_all_voltages();
    ASSERT_TRUE(early) << early.error().message();
    EXPECT_LT((*early)[0], 110);
    EXPECT_EQ(eventually("servo 7 get 62", "ok 120"), "ok 120");

    EXPECT_EQ(command("servo all ramp 60 10000"), "ok");
    EXPECT_EQ(command("servo all voltage 90"), "ok");
    std::this_thread::sleep_for(50ms);
    auto held = controller().read_all_voltages();
    ASSERT_TRUE(held) << held.error().message();
    for (auto v : *held) EXPECT_EQ(v, 90) << "a held voltage stops the ramp";
}

TEST_F(TorsoE2e, ServosReachTheGoalsOnlyWithTorqueOn) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::array<double, 7> goals{0.5, -0.5, 0.25, -1.0, 0.1, -0.1, 0.3};
    ASSERT_TRUE(controller().set_all_goal_positions(goals));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(command("servo 1 position"), "ok 2048") << "no torque, no motion";

    ASSERT_TRUE(controller().set_all_torque(true));
    auto torque = controller().is_torque_enabled();
    ASSERT_TRUE(torque && *torque);
    EXPECT_EQ(eventually("servo 7 torque", "ok 1"), "ok 1");
    for (int id = 1; id <= 7; ++id) {
        EXPECT_TRUE(servo_reaches(id, counts(goals[id - 1])))
            << "servo " << id << ": " << command("servo " + std::to_string(id) + " position");
    }
    auto positions = controller().read_all_positions();
    ASSERT_TRUE(positions) << positions.error().message();
    for (std::size_t i = 0; i < 7; ++i) EXPECT_NEAR((*positions)[i], goals[i], 0.005) << i;

    // A goal past the angle limits is kept as written; the shaft stops at the nearer limit.
    const std::array<std::uint8_t, 2> beyond_top{0x88, 0x13};     // 5000
    const std::array<std::uint8_t, 2> below_bottom{0xD4, 0xFE};  // -300
    ASSERT_TRUE(controller().write_raw_bytes(1, 42, beyond_top));
    ASSERT_TRUE(controller().write_raw_bytes(2, 42, below_bottom));
    EXPECT_EQ(command("servo 1 goal"), "ok 5000");
    EXPECT_TRUE(servo_reaches(1, 4095));
    EXPECT_TRUE(servo_reaches(2, 0));
    EXPECT_EQ(command("servo 1 set 11 184"), "ok");  // maximum 3000 (0x0BB8)
    EXPECT_EQ(command("servo 1 set 12 11"), "ok");
    EXPECT_TRUE(servo_reaches(1, 3000));

    ASSERT_TRUE(controller().set_all_torque(false));
    EXPECT_EQ(eventually("servo 7 torque", "ok 0"), "ok 0");
}

TEST_F(TorsoE2e, NeckEnablesAndHomesFromAMultiTurnStart) {
    // Whole turns away, as after a power cycle; within the ±12.5 rad an MIT frame can carry.
    ASSERT_NO_FATAL_FAILURE(start({"--neck-turns", "1,-1,1", "--neck-angles", "0.3,-0.2,-0.1"}));
    auto start_positions = controller().read_neck_positions();
    ASSERT_TRUE(start_positions) << start_positions.error().message();
    EXPECT_NEAR((*start_positions)[0], TWO_PI + 0.3, 0.001);
    EXPECT_NEAR((*start_positions)[1], -TWO_PI - 0.2, 0.001);
    EXPECT_NEAR((*start_positions)[2], TWO_PI - 0.1, 0.001);

    ASSERT_TRUE(controller().enable_neck(true));
    EXPECT_EQ(command("motor 2 state").substr(0, 2), "ok");
    EXPECT_NE(command("motor 2 state").find("enabled=1 mode=1"), std::string::npos);

    auto homed = controller().neck_home(2.0, 0.01, std::nullopt, std::nullopt);
    ASSERT_TRUE(homed) << homed.error().message();
    const std::array<double, 3> zeros{TWO_PI, -TWO_PI, TWO_PI};
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR((*homed)[i], zeros[i], 0.01) << i;

    // A second client (as a control loop would be) shares the bus with the first.
    auto second = connect(false);
    ASSERT_TRUE(second);
    auto seen = second->read_neck_positions();
    ASSERT_TRUE(seen) << seen.error().message();
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR((*seen)[i], zeros[i], 0.01) << i;
}

TEST_F(TorsoE2e, HealthFaultsAreScriptedOnTheRunningDevices) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(controller().enable_neck(true));
    EXPECT_EQ(command("motor 3 fault 10"), "ok");
    EXPECT_TRUE(command("motor 3 state").ends_with(" enabled=0 mode=1 status=10"));
    EXPECT_EQ(command("motor 3 fault off"), "ok");
    EXPECT_TRUE(command("motor 3 state").ends_with(" enabled=0 mode=1 status=0"));
    EXPECT_EQ(command("motor all temps 70 80"), "ok");

    ASSERT_TRUE(controller().set_all_torque(true));
    EXPECT_EQ(eventually("servo 7 torque", "ok 1"), "ok 1");
    EXPECT_EQ(command("servo all brownout"), "ok");
    EXPECT_EQ(command("servo 7 torque"), "ok 0");
}

TEST_F(TorsoE2e, ArmHomeCalibrationSurvivesAReboot) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::array<int, 4> pose{2548, 1748, 3000, 1000};
    for (int id = 1; id <= 4; ++id) {
        EXPECT_EQ(command("servo " + std::to_string(id) + " place " + std::to_string(pose[id - 1])),
                  "ok");
    }
    auto home = controller().set_arm_home(0.01);
    ASSERT_TRUE(home) << home.error().message();
    for (double p : *home) EXPECT_NEAR(p, 0.0, 0.01);
    EXPECT_EQ(command("servo 1 get 55"), "ok 1") << "EEPROM locked again";
    EXPECT_NE(command("servo 1 get 31"), "ok 0") << "the offset is in place";

    EXPECT_EQ(command("requests clear"), "ok");
    ASSERT_TRUE(controller().reboot(2s));
    EXPECT_NE(command("requests").find(" reboot=7 "), std::string::npos);
    auto after = controller().read_all_positions();
    ASSERT_TRUE(after) << after.error().message();
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR((*after)[i], 0.0, 0.01) << i;

    EXPECT_EQ(command("servo 5 silent on"), "ok");
    auto silent = controller().reboot(300ms);
    ASSERT_FALSE(silent);
    EXPECT_EQ(silent.error().message(),
              "Some motors did not respond after reboot ([\"nose_top\"] - ids: [5])");
}

TEST_F(TorsoE2e, SerialAdapterPulledOutFailsTheOpenPortAndComesBackWithTheSameServos) {
    const std::string link = testing::preload_setting().socket_path + ".replug";
    ASSERT_NO_FATAL_FAILURE(start({"--serial-link", link}));
    controller_.reset();  // the port is opened by hand below, to see each call's error
    EXPECT_EQ(command("servo 2 place 3000"), "ok");
    EXPECT_EQ(command("servo 2 set 7 3"), "ok");  // a return delay, to see the registers kept
    const int port = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(port, 0);

    EXPECT_EQ(command("unplug serial"), "ok");
    EXPECT_EQ(command("unplug serial"), "ok") << "already out";
    const std::uint8_t ping[] = {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
    errno = 0;
    EXPECT_EQ(::write(port, ping, sizeof ping), -1);
    EXPECT_EQ(errno, EIO);
    pollfd hung{port, POLLIN, 0};
    EXPECT_EQ(::poll(&hung, 1, 0), 1);
    EXPECT_NE(hung.revents & POLLHUP, 0);
    std::uint8_t byte;
    EXPECT_EQ(::read(port, &byte, 1), 0);
    ::close(port);
    errno = 0;
    EXPECT_EQ(::open(link.c_str(), O_RDWR | O_NOCTTY), -1);
    EXPECT_EQ(errno, ENOENT) << "the link has gone with the device";

    EXPECT_EQ(command("plug serial"), "ok");
    EXPECT_EQ(command("plug serial"), "ok") << "already in";
    auto again = KestroMotorController::create(link, ifname_);
    ASSERT_TRUE(again) << again.error().message();
    EXPECT_TRUE(again->check_missing_ids().empty());
    auto positions = again->read_all_positions();
    ASSERT_TRUE(positions) << positions.error().message();
    EXPECT_NEAR((*positions)[1], (3000 - 2048) * TWO_PI / 4096, 0.01) << "the shaft stayed put";
    EXPECT_EQ(command("servo 2 get 7"), "ok 3");
}

TEST_F(TorsoE2e, CanInterfaceDownFailsItsSocketsUntilUpAgain) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto bus = SocketCanTransport::open(ifname_);
    ASSERT_TRUE(bus) << bus.error().to_string();
    ASSERT_TRUE(answered(*bus));

    // A recv already waiting returns with the error, not at its time-out.
    std::string waiting;
    std::thread waiter([&] { waiting = error_of(bus->recv(5s)); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(command("can down"), "ok");
    waiter.join();
    EXPECT_EQ(waiting, os_error(ENETDOWN));
    EXPECT_EQ(command("can down"), "ok") << "already down";
    EXPECT_EQ(error_of(bus->send(STATUS_REQUEST)), os_error(ENETDOWN));
    EXPECT_EQ(error_of(bus->recv(10ms)), os_error(ENETDOWN));
    EXPECT_EQ(error_of(SocketCanTransport::open(ifname_)), os_error(ENETDOWN));
    EXPECT_FALSE(controller().read_neck_positions());

    EXPECT_EQ(command("can up"), "ok");
    EXPECT_EQ(command("can up"), "ok") << "already up";
    EXPECT_TRUE(answered(*bus)) << "the same socket works again";
    EXPECT_TRUE(controller().read_neck_positions());
}

TEST_F(TorsoE2e, CanAdapterPulledOutKillsItsSocketsAndNewOnesWorkOncePluggedIn) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto old_bus = SocketCanTransport::open(ifname_);
    ASSERT_TRUE(old_bus) << old_bus.error().to_string();

    EXPECT_EQ(command("unplug can"), "ok");
    EXPECT_EQ(command("unplug can"), "ok") << "already out";
    EXPECT_EQ(command("can up"), "error: the CAN interface is unplugged");
    EXPECT_EQ(error_of(old_bus->send(STATUS_REQUEST)), os_error(ENODEV));
    EXPECT_EQ(error_of(old_bus->recv(10ms)), os_error(ENODEV));
    EXPECT_EQ(error_of(SocketCanTransport::open(ifname_)), os_error(ENODEV));
    errno = 0;
    EXPECT_EQ(if_nametoindex(ifname_.c_str()), 0U);
    EXPECT_EQ(errno, ENODEV);

    EXPECT_EQ(command("plug can"), "ok");
    EXPECT_EQ(command("plug can"), "ok") << "already in";
    EXPECT_EQ(error_of(old_bus->send(STATUS_REQUEST)), os_error(ENODEV))
        << "a socket of the old adapter stays dead";
    EXPECT_FALSE(controller().read_neck_positions());
    auto new_bus = SocketCanTransport::open(ifname_);
    ASSERT_TRUE(new_bus) << new_bus.error().to_string();
    EXPECT_TRUE(answered(*new_bus));
    auto reconnected = connect(false);
    ASSERT_TRUE(reconnected);
    EXPECT_TRUE(reconnected->read_neck_positions());
}

TEST_F(TorsoE2e, NeckMotorDropsOutWhenItsTimeoutRunsOutWithNothingSent) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto bus = SocketCanTransport::open(ifname_);
    ASSERT_TRUE(bus) << bus.error().to_string();
    // TIMEOUT (register 9) of motor 1: 20 × 50 µs = 1 ms.
    ASSERT_TRUE(bus->send(CanFrame{CanId::standard(0x7FF), {0x01, 0x00, 0x55, 9, 20, 0, 0, 0},
                                   false, false}));
    ASSERT_TRUE(bus->send(CanFrame{CanId::standard(0x001),
                                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, false,
                                   false}));
    const std::string lost = "ok position=0.000000 velocity=0.000000 enabled=0 mode=1 status=13";
    EXPECT_EQ(eventually("motor 1 state", lost), lost);
    EXPECT_EQ(command("motor 1 fault off"), "ok");
    EXPECT_TRUE(command("motor 1 state").ends_with(" status=0"));
    EXPECT_TRUE(command("motor 2 state").ends_with(" status=0")) << "its own TIMEOUT is 0";
}

TEST_F(TorsoE2e, StopsCleanlyAndRemovesWhatItMade) {
    const auto setting = testing::preload_setting();
    const std::filesystem::path link = setting.socket_path + ".serial";
    ASSERT_NO_FATAL_FAILURE(start({"--serial-link", link.string()}));
    EXPECT_EQ(std::filesystem::read_symlink(link), sim_->serial_device());
    controller_.reset();  // the serial port is for one client at a time
    auto through_link = KestroMotorController::create(link.string(), ifname_);
    ASSERT_TRUE(through_link) << through_link.error().message();
    EXPECT_TRUE(through_link->check_missing_ids().empty());

    EXPECT_EQ(sim_->stop(), 0);
    struct stat status {};
    EXPECT_NE(::lstat(link.c_str(), &status), 0) << "serial link left behind";
    EXPECT_NE(::lstat(setting.socket_path.c_str(), &status), 0) << "socket left behind";
    EXPECT_FALSE(through_link->read_neck_positions()) << "the bus has gone with the simulator";
}

}  // namespace
}  // namespace kestro::sim::torso
