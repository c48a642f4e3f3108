#include "servo_bus/feetech_protocol/protocol_handler.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "servo_bus/tests/sim_bus_fixture.hpp"

namespace kestro::servo_bus {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::steady_clock;

constexpr std::uint8_t PRESENT_POSITION = 0x38;

TEST(ProtocolHandler, APortThatCannotBeQueriedFailsWithThePortLayersError) {
    auto broken = SerialPort::from_fd(-1);
    auto pinged = FeetechProtocolHandler().ping(broken, 1);
    ASSERT_FALSE(pinged);
    ASSERT_NE(pinged.error().serial_error(), nullptr);
    EXPECT_EQ(pinged.error().to_string(), "Bad file descriptor (os error 9)");
}

class ProtocolHandlerTest : public SimBusTest {};

TEST_F(ProtocolHandlerTest, PingTellsPresentFromAbsentServos) {
    EXPECT_EQ(handler_.ping(port(), 1), true);
    const auto start = steady_clock::now();
    EXPECT_EQ(handler_.ping(port(), 42), false);
    EXPECT_GE(steady_clock::now() - start, SerialPort::TIMEOUT);
    model().set_corrupt_checksum(2, true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(handler_.ping(port(), 2), false);
    testing::internal::GetCapturedStdout();
}

TEST_F(ProtocolHandlerTest, WriteThenReadRoundTripsRegisterBytes) {
    const Bytes gains{10, 20, 30};
    ASSERT_TRUE(handler_.write(port(), 3, 21, gains));
    EXPECT_EQ(model().register_value(3, 22), 20);
    EXPECT_EQ(handler_.read(port(), 3, 21, 3), gains);
    model().set_present_position(3, 0x0801);
    EXPECT_EQ(handler_.read(port(), 3, PRESENT_POSITION, 2), (Bytes{0x01, 0x08}));
}

// Each reply is handed over where it was read, so that a read of the whole torso copies
// nothing on its way to the values.
TEST_F(ProtocolHandlerTest, SyncReadHandsOverEachReplyInTheOrderOfTheIds) {
    model().set_present_position(2, 0x0102);
    model().set_present_position(5, 0x0304);
    const Bytes ids{5, 2};
    std::vector<Bytes> replies;
    auto read = handler_.sync_read(port(), ids, PRESENT_POSITION, 2, [&](std::span<const std::uint8_t> reply) {
        replies.emplace_back(reply.begin(), reply.end());
    });
    ASSERT_TRUE(read) << read.error().to_string();
    EXPECT_EQ(replies, (std::vector<Bytes>{{0x04, 0x03}, {0x02, 0x01}}));
    EXPECT_TRUE(handler_.sync_read(port(), {}, PRESENT_POSITION, 2, [](auto) { FAIL(); }));
}

TEST_F(ProtocolHandlerTest, SyncReadFailsWholeOnAnyBadReply) {
    const Bytes ids{1, 2};
    const auto ignore = [](std::span<const std::uint8_t>) {};
    model().set_sync_read_reversed(true);
    EXPECT_EQ(handler_.sync_read(port(), ids, PRESENT_POSITION, 2, ignore).error().to_string(),
              "Parsing error");
    model().set_sync_read_reversed(false);
    // Servo 1's reply, sent second, is still on its way; once it has landed the next
    // transaction drains it. (Arriving after that drain, it would take servo 2's slot.)
    wait_for_input(8);

    model().set_silent(2, true);
    auto silent = handler_.sync_read(port(), ids, PRESENT_POSITION, 2, ignore);
    ASSERT_FALSE(silent);
    ASSERT_NE(silent.error().io_error(), nullptr);
    EXPECT_EQ(silent.error().io_error()->kind(), IoErrorKind::TimedOut);
    EXPECT_EQ(silent.error().to_string(), "Operation timed out");
    model().set_silent(2, false);

    model().set_reply_id(2, 6);
    EXPECT_EQ(handler_.sync_read(port(), ids, PRESENT_POSITION, 2, ignore).error(),
              ServoBusError(CommunicationErrorKind::ParsingError));
}

// Asked for two bytes from the last address, each servo can only send one. The read fails,
// but only after taking in every reply, so that no reply is left to be mistaken for the next
// transaction's.
TEST_F(ProtocolHandlerTest, SyncReadRepliesOfAnotherLengthFailAfterAllAreRead) {
    const Bytes ids{1, 2, 3};
    int handed_over = 0;
    EXPECT_EQ(handler_.sync_read(port(), ids, 0xFF, 2, [&](auto) { ++handed_over; }).error(),
              ServoBusError(CommunicationErrorKind::ParsingError));
    EXPECT_EQ(handed_over, 0);
    EXPECT_EQ(port().bytes_to_read().value_or(99), 0U);
}

TEST_F(ProtocolHandlerTest, ChecksumErrorPrintsTheReceivedBytes) {
    model().set_present_position(4, 2048);
    model().set_corrupt_checksum(4, true);
    testing::internal::CaptureStdout();
    auto read = handler_.read(port(), 4, PRESENT_POSITION, 2);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read.error().to_string(), "Checksum error");
    // Good checksum would be ~(4 + 4 + 0 + 0 + 8) = 239; the servo sent its complement.
    EXPECT_EQ(printed, "read crc: 16, computed crc: 239 data: [255, 255, 4, 4, 0, 0, 8, 16]\n");
}

TEST_F(ProtocolHandlerTest, StrayBytesAreDrainedBeforeSending) {
    const std::array<std::uint8_t, 3> noise{0x01, 0xFF, 0x37};
    bus_->inject_stray_bytes(noise);
    wait_for_input(noise.size());
    const auto start = steady_clock::now();
    EXPECT_EQ(handler_.ping(port(), 1), true);
    EXPECT_GE(steady_clock::now() - start, FeetechProtocolHandler::DRAIN_PAUSE);
    EXPECT_EQ(model().requests().size(), 1U);
}

TEST_F(ProtocolHandlerTest, ContinuousNoiseGivesTimeoutErrorWithoutSending) {
    // The noise is only continuous while the simulator thread gets the processor every few
    // milliseconds; on a loaded machine a gap can let one ping through, so a few tries are
    // allowed. Every failure, though, must be the drain giving up without sending.
    bus_->set_continuous_stray_bytes(true);
    wait_for_input(1);
    bool gave_up = false;
    for (int attempt = 0; attempt < 5 && !gave_up; ++attempt) {
        const std::size_t requests_before = model().requests().size();
        const auto start = steady_clock::now();
        auto pinged = handler_.ping(port(), 1);
        const auto took = steady_clock::now() - start;
        if (pinged) continue;
        EXPECT_EQ(pinged.error().to_string(), "Timeout error");
        EXPECT_EQ(pinged.error().io_error(), nullptr);
        EXPECT_GE(took, 3 * FeetechProtocolHandler::DRAIN_PAUSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(model().requests().size(), requests_before) << "nothing may be sent";
        gave_up = true;
    }
    bus_->set_continuous_stray_bytes(false);
    EXPECT_TRUE(gave_up);
}

TEST_F(ProtocolHandlerTest, AReplyWithoutHeaderFailsAfterItsFirstFourBytes) {
    const std::array<std::uint8_t, 6> reply{0xFF, 0x00, 0x01, 0x02, 0x00, 0xFC};
    bus_->inject_stray_bytes(reply);
    wait_for_input(reply.size());
    PacketBytes bytes;
    EXPECT_EQ(handler_.read_status_packet(port(), 1, bytes).error().to_string(), "Parsing error");
    EXPECT_EQ(port().bytes_to_read().value_or(0), 2U);
}

TEST_F(ProtocolHandlerTest, SyncWriteReachesEveryServoWithoutAReply) {
    const Bytes ids{1, 6};
    const Bytes goals{0x00, 0x09, 0x00, 0x07};
    ASSERT_TRUE(handler_.sync_write(port(), ids, 0x2A, 2, goals));
    EXPECT_EQ(port().bytes_to_read().value_or(99), 0U);
    // The write carries no reply, so ask the servos to see that it has been applied.
    ASSERT_TRUE(handler_.ping(port(), 6));
    EXPECT_EQ(model().goal_position(1), 0x0900);
    EXPECT_EQ(model().goal_position(6), 0x0700);
}

TEST_F(ProtocolHandlerTest, RebootIsAnsweredAndSwitchesTorqueOff) {
    model().set_torque_enabled(5, true);
    EXPECT_EQ(handler_.reboot(port(), 5), true);
    EXPECT_EQ(model().torque_enabled(5), false);
    EXPECT_EQ(handler_.reboot(port(), 99), false);
}

TEST_F(ProtocolHandlerTest, PostDelayFollowsEveryReadButOnlySuccessfulWrites) {
    const FeetechProtocolHandler slow(40ms);
    model().set_silent(2, true);
    const Bytes one{1};
    const auto elapsed = [](auto operation) {
        const auto start = steady_clock::now();
        operation();
        return steady_clock::now() - start;
    };
    EXPECT_GE(elapsed([&] { EXPECT_FALSE(slow.read(port(), 2, 40, 1)); }), 40ms);
    EXPECT_LT(elapsed([&] { EXPECT_FALSE(slow.write(port(), 2, 40, one)); }), 40ms);
    EXPECT_GE(elapsed([&] { EXPECT_TRUE(slow.write(port(), 1, 40, one)); }), 40ms);
}

TEST_F(ProtocolHandlerTest, ALateReplyIsDrainedByTheNextTransaction) {
    model().set_reply_delay(7, 30ms);
    EXPECT_EQ(handler_.read(port(), 7, 40, 1).error(), ServoBusError(IoError::timed_out()));
    wait_for_input(7);
    model().set_reply_delay(7, 0ms);
    model().set_torque_enabled(7, true);
    EXPECT_EQ(handler_.read(port(), 7, 40, 1), Bytes{1});
}

}  // namespace
}  // namespace kestro::servo_bus
