// The simulator's command line and control commands: what scripts may write, and that every
// malformed line is refused with a reason instead of doing something else.
#include <gtest/gtest.h>

#include "sim/torso/commands.hpp"
#include "sim/torso/options.hpp"

namespace kestro::sim::torso {
namespace {

using namespace command;
using std::chrono::milliseconds;

Result<Options, std::string> options(std::initializer_list<std::string_view> args) {
    return parse_options(std::vector<std::string_view>(args));
}

TEST(CommandLine, ReadsEveryOptionAndKeepsDefaultsOtherwise) {
    const auto defaults = options({});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->voltage, 120);
    EXPECT_FALSE(defaults->ramp || defaults->can_socket || defaults->vcan || defaults->trace);

    const auto set = options({"--serial-link", "/tmp/x", "--can-socket", "s.sock", "--vcan",
                              "vcan0", "--voltage", "60", "--ramp", "1500", "--neck-turns",
                              "2,-1,0", "--neck-angles", "0.25,-1e-1,3", "--trace",
                              "--reboot-ms", "0"});
    ASSERT_TRUE(set) << set.error();
    EXPECT_EQ(set->serial_link, "/tmp/x");
    EXPECT_EQ(set->can_socket, "s.sock");
    EXPECT_EQ(set->vcan, "vcan0");
    EXPECT_EQ(set->voltage, 60);
    EXPECT_EQ(set->ramp, milliseconds(1500));
    EXPECT_EQ(set->neck_turns, (std::array<int, 3>{2, -1, 0}));
    EXPECT_EQ(set->neck_angles, (std::array<double, 3>{0.25, -0.1, 3.0}));
    EXPECT_TRUE(set->trace);
    EXPECT_EQ(set->reboot_silence, milliseconds(0));
}

TEST(CommandLine, WireTimingIsOffByDefaultAndTakesItsParameters) {
    using std::chrono::microseconds;
    const auto defaults = options({});
    ASSERT_TRUE(defaults);
    EXPECT_FALSE(defaults->wire_timing);
    EXPECT_EQ(defaults->serial_timing.baud, 1'000'000U);
    EXPECT_EQ(defaults->serial_timing.default_return_delay, microseconds(20));
    EXPECT_EQ(defaults->serial_timing.usb_latency, microseconds(0));
    EXPECT_EQ(defaults->can_timing.bitrate, 1'000'000U);
    EXPECT_EQ(defaults->can_timing.motor_turnaround, microseconds(100));

    const auto set = options({"--usb-latency-us", "1000", "--wire-timing", "--serial-baud",
                              "500000", "--return-delay-us", "0", "--can-bitrate", "500000",
                              "--motor-turnaround-us", "250"});
    ASSERT_TRUE(set) << set.error();
    EXPECT_TRUE(set->wire_timing);
    EXPECT_EQ(set->serial_timing.usb_latency, microseconds(1000));
    EXPECT_EQ(set->serial_timing.byte_time(), microseconds(20));
    EXPECT_EQ(set->serial_timing.default_return_delay, microseconds(0));
    EXPECT_EQ(set->can_timing.bit_time(), microseconds(2));
    EXPECT_EQ(set->can_timing.motor_turnaround, microseconds(250));

    // A bus parameter without the model it tunes is a mistake, not something to ignore.
    const auto orphan = options({"--usb-latency-us", "1000"});
    ASSERT_FALSE(orphan);
    EXPECT_EQ(orphan.error(), "--usb-latency-us needs --wire-timing");
    EXPECT_FALSE(options({"--wire-timing", "--serial-baud", "0"}));
    EXPECT_FALSE(options({"--wire-timing", "--motor-turnaround-us", "-1"}));
}

TEST(CommandLine, RefusesMalformedValues) {
    for (const auto& bad : std::vector<std::vector<std::string_view>>{
             {"--voltage", "256"},        {"--voltage"},
             {"--neck-turns", "1,2"},     {"--neck-turns", "1,2,3,4"},
             {"--neck-turns", "1,,3"},    {"--neck-angles", "0,nan,0"},
             {"--neck-angles", "0,1,2,"}, {"--ramp", "-5"},
             {"--frobnicate", "1"},       {"--neck-turns", "1.5,0,0"}}) {
        EXPECT_FALSE(parse_options(bad)) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
    }
}

TEST(ControlCommands, ParseIntoTheirValues) {
    const Ids all_servos{1, 2, 3, 4, 5, 6, 7};
    const std::vector<std::pair<std::string_view, Command>> cases{
        {"servo 3 silent on", ServoFaultSwitch{{3}, ServoFault::Silent, true}},
        {"  servo   all  corrupt off\r", ServoFaultSwitch{all_servos, ServoFault::CorruptChecksum, false}},
        {"servo 7 delay 15", ServoDelay{{7}, milliseconds(15)}},
        {"servo all voltage 95", ServoVoltage{all_servos, 95}},
        {"servo all ramp 120 2000", SupplyRampTo{120, milliseconds(2000)}},
        {"servo 4 error 36", ServoErrorByte{{4}, 36}},
        {"servo all brownout", ServoBrownout{all_servos}},
        {"servo 1 set 31 255", RegisterWrite{1, 31, 255}},
        {"servo 4 get 62", RegisterRead{4, 62}},
        {"servo 5 position", ServoQuery{5, ServoReading::Position}},
        {"servo 2 place 4095", ServoPlace{2, 4095}},
        {"servo 6 writes", ServoWrites{6}},
        {"stray 12", StrayBytes{12}},
        {"stray continuous on", ContinuousStray{true}},
        {"motor 2 mode-locked on", MotorFaultSwitch{{2}, MotorFault::ModeLocked, true}},
        {"motor all stuck off", MotorFaultSwitch{{1, 2, 3}, MotorFault::Stuck, false}},
        {"motor 3 delay 40", MotorDelay{{3}, milliseconds(40)}},
        {"motor 2 fault 12", MotorFaultCode{{2}, 12}},
        {"motor all fault 15", MotorFaultCode{{1, 2, 3}, 15}},
        {"motor 1 fault off", MotorFaultCode{{1}, std::nullopt}},
        {"motor all temps 80 0", MotorTemperatures{{1, 2, 3}, 80, 0}},
        {"motor 3 place -0.5 -2", MotorPlace{3, -0.5, -2}},
        {"motor 1 state", MotorState{1}},
        {"foreign 3", ForeignFrames{3}},
        {"requests clear", Requests{true}},
        {"unplug serial", Plug{Bus::Serial, false}},
        {"plug can", Plug{Bus::Can, true}},
        {"can down", CanLink{false}},
        {"can up", CanLink{true}},
        {"quit", Quit{}},
    };
    for (const auto& [line, expected] : cases) {
        const auto parsed = parse(line);
        ASSERT_TRUE(parsed) << line << ": " << parsed.error();
        EXPECT_EQ(*parsed, expected) << line;
    }
}

TEST(ControlCommands, RefuseWhatTheyCannotCarryOutWithAReason) {
    const std::vector<std::pair<std::string_view, std::string_view>> cases{
        {"", "unknown command end of line"},
        {"servo 8 silent on", "servo id 1 to 7 or all expected, got '8'"},
        {"motor 4 state", "motor id 1 to 3 or all expected, got '4'"},
        {"servo 1 silent maybe", "on or off expected, got 'maybe'"},
        {"servo 1 set 31 256", "byte expected, got '256'"},
        {"servo 1 place 4096", "counts (0 to 4095) expected, got '4096'"},
        {"servo 1 delay 10001", "milliseconds (0 to 10000) expected, got '10001'"},
        {"servo all position", "servo all position: give one servo id"},
        {"servo all writes", "servo all writes: give one servo id"},
        {"servo 2 writes 21", "unexpected '21'"},
        {"servo 1 ramp 120 10", "the supply ramps for all servos: servo all ramp <raw> <ms>"},
        {"motor all place 0 0", "motor all place: give one motor id"},
        {"motor 1 place nan 0", "angle (rad) expected, got 'nan'"},
        {"motor 1 place 0.1 1.5", "turns expected, got '1.5'"},
        {"servo 1 spin", "unknown servo command 'spin'"},
        {"motor 1 state now", "unexpected 'now'"},
        {"motor 1 fault 7", "fault code 8 to 15 or off expected, got '7'"},
        {"motor all fault 16", "fault code 8 to 15 or off expected, got '16'"},
        {"motor 1 temps 40", "motor temperature (°C) expected, got end of line"},
        {"servo 1 error 256", "error byte expected, got '256'"},
        {"unplug", "serial or can expected, got end of line"},
        {"plug usb", "serial or can expected, got 'usb'"},
        {"can off", "up or down expected, got 'off'"},
        {"unplug can now", "unexpected 'now'"},
    };
    for (const auto& [line, reason] : cases) {
        const auto parsed = parse(line);
        ASSERT_FALSE(parsed) << line;
        EXPECT_EQ(parsed.error(), reason) << line;
    }
}

}  // namespace
}  // namespace kestro::sim::torso
