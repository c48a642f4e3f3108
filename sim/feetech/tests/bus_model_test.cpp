// The simulated servo bus on its own: the error byte of its status packets, and a brown-out
// that lasts until torque is written again.
#include "sim/feetech/bus_model.hpp"

#include <array>

#include <gtest/gtest.h>

namespace kestro::sim {
namespace {

using feetech_frame::Request;
namespace instruction = feetech_frame::instruction;

constexpr std::uint8_t OVERHEAT = 0x04;
constexpr std::uint8_t FLAGGED = OVERHEAT | FeetechSimServo::INPUT_VOLTAGE_ERROR;

TEST(ServoBus, ErrorFlagsAndABrownOutUntilTorqueIsWrittenOnAreInTheStatusPackets) {
    constexpr std::array<std::uint8_t, 2> IDS{1, 2};
    FeetechBusModel bus{IDS};
    const auto write = [&](std::vector<std::uint8_t> params) {
        bus.handle(Request{1, instruction::WRITE, std::move(params)});
    };
    const auto ping_error = [&](std::uint8_t id) {
        return bus.handle(Request{id, instruction::PING, {}}).at(0).bytes.at(4);
    };
    bus.set_speed(1e15);  // any time at all between two calls reaches the goal
    bus.set_error_flags(1, OVERHEAT);
    write({40, 1});
    write({42, 0x00, 0x09});  // goal 2304
    EXPECT_EQ(bus.present_position(1), 2304);
    EXPECT_EQ(ping_error(1), OVERHEAT);
    EXPECT_EQ(ping_error(2), 0);

    bus.brown_out(1);
    EXPECT_EQ(ping_error(1), FLAGGED);
    write({42, 0x00, 0x07});  // goal 1792
    write({40, 0});
    EXPECT_EQ(bus.present_position(1), 2304) << "no torque, no motion";
    EXPECT_EQ(ping_error(1), FLAGGED) << "writing torque off does not clear it";
    bus.handle(Request{0xFE, instruction::SYNC_WRITE, {40, 1, 2, 1, 1, 1}});
    EXPECT_EQ(bus.present_position(1), 1792);
    EXPECT_EQ(ping_error(1), OVERHEAT) << "the flag set by hand stays";
    bus.set_error_flags(1, 0);
    EXPECT_EQ(ping_error(1), 0);
}

}  // namespace
}  // namespace kestro::sim
