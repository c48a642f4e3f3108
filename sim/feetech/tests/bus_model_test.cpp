// The simulated servo bus on its own: the error byte its status packets carry, and a brown-out
// that lasts until torque is written again.
#include "sim/feetech/bus_model.hpp"

#include <array>

#include <gtest/gtest.h>

namespace kestro::sim {
namespace {

using feetech_frame::Request;
using feetech_frame::status_frame;
namespace instruction = feetech_frame::instruction;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t OVERHEAT = 0x04;
constexpr std::uint8_t OVERLOAD = 0x20;

class ServoBusTest : public ::testing::Test {
protected:
    // The error byte of servo `id`'s answer to a ping, or -1 without one.
    int ping_error(std::uint8_t id) {
        const auto replies = bus.handle(Request{id, instruction::PING, {}});
        return replies.size() == 1 ? replies[0].bytes[4] : -1;
    }

    void write(std::uint8_t id, Bytes params) {
        bus.handle(Request{id, instruction::WRITE, std::move(params)});
    }

    static constexpr std::array<std::uint8_t, 3> IDS{1, 2, 3};
    FeetechBusModel bus{IDS};
};

TEST_F(ServoBusTest, TheErrorByteIsInEveryStatusPacketUntilCleared) {
    bus.set_error_flags(2, OVERHEAT | OVERLOAD);
    EXPECT_EQ(bus.handle(Request{2, instruction::READ, {62, 1}})[0].bytes,
              status_frame(2, OVERHEAT | OVERLOAD, Bytes{120}));
    const auto sync = bus.handle(Request{0xFE, instruction::SYNC_READ, {62, 1, 1, 2, 3}});
    ASSERT_EQ(sync.size(), 3U);
    EXPECT_EQ(sync[0].bytes[4], 0);
    EXPECT_EQ(sync[1].bytes[4], OVERHEAT | OVERLOAD);
    EXPECT_EQ(sync[2].bytes[4], 0);
    bus.set_error_flags(2, 0);
    EXPECT_EQ(ping_error(2), 0);
}

TEST_F(ServoBusTest, ABrownOutDropsTorqueAndFlagsInputVoltageUntilTorqueIsWrittenOn) {
    bus.set_speed(1e15);  // any time at all between two calls reaches the goal
    bus.set_error_flags(1, OVERHEAT);
    write(1, {40, 1});
    write(1, {42, 0x00, 0x09});  // goal 2304
    EXPECT_EQ(bus.present_position(1), 2304);

    bus.brown_out(1);
    EXPECT_EQ(bus.torque_enabled(1), false);
    EXPECT_EQ(ping_error(1), OVERHEAT | FeetechSimServo::INPUT_VOLTAGE_ERROR);
    EXPECT_EQ(ping_error(2), 0);
    write(1, {42, 0x00, 0x07});  // goal 1792
    write(1, {40, 0});
    EXPECT_EQ(bus.present_position(1), 2304) << "no torque, no motion";
    EXPECT_EQ(ping_error(1), OVERHEAT | FeetechSimServo::INPUT_VOLTAGE_ERROR)
        << "writing torque off does not clear it";

    // Torque on for servos 1 and 2 in one sync write.
    bus.handle(Request{0xFE, instruction::SYNC_WRITE, {40, 1, 1, 1, 2, 1}});
    EXPECT_EQ(ping_error(1), OVERHEAT) << "the flag set by hand stays";
    EXPECT_EQ(bus.present_position(1), 1792);

    bus.brown_out(3);
    write(3, {39, 0, 1});  // a write that covers the torque register among others
    EXPECT_EQ(ping_error(3), 0);
}

}  // namespace
}  // namespace kestro::sim
