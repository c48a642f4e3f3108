// The serial line model against durations worked out by hand at 1,000,000 baud 8N1, where
// every byte takes 10 µs.
#include <gtest/gtest.h>

#include "sim/wire/serial_line.hpp"

namespace kestro::sim::wire {
namespace {

using namespace std::chrono_literals;

const Clock::time_point T0 = Clock::time_point() + 1s;

TEST(SerialLine, ByteTimeAtTheServoBaudRate) {
    EXPECT_EQ(SerialTiming{}.byte_time(), 10us);
    EXPECT_EQ(SerialTiming{.baud = 115'200}.byte_time(), 86'805ns);
}

TEST(SerialLine, PingIsSixBytesEachWay) {
    // FF FF 01 02 01 FB out, FF FF 01 02 00 FC back after a 20 µs return delay.
    SerialLine line(10us);
    const ReplyShape reply{20us, 6};
    const auto windows = transaction(line, T0, 6, std::span(&reply, 1));
    ASSERT_EQ(windows.size(), 2U);
    EXPECT_EQ(windows[0].start, T0);
    EXPECT_EQ(windows[0].end, T0 + 60us);
    EXPECT_EQ(windows[1].start, T0 + 80us);
    EXPECT_EQ(windows[1].end, T0 + 140us);
}

TEST(SerialLine, SyncReadOfFourServosRepliesInTurn) {
    // FF FF FE 08 82 38 02 01 02 03 04 cs: 12 bytes, 120 µs. Each servo answers two position
    // bytes, FF FF id 04 00 lo hi cs: 8 bytes, 80 µs, 40 µs after the line went quiet
    // (return-delay register 20 × 2 µs). Last reply ends at 120 + 4 × (40 + 80) = 600 µs.
    SerialLine line(10us);
    const ReplyShape reply{return_delay(20, 0us), 8};
    const std::vector<ReplyShape> replies(4, reply);
    const auto windows = transaction(line, T0, 12, replies);
    ASSERT_EQ(windows.size(), 5U);
    EXPECT_EQ(windows[0].end, T0 + 120us);
    EXPECT_EQ(windows[1].start, T0 + 160us);
    EXPECT_EQ(windows[1].end, T0 + 240us);
    EXPECT_EQ(windows[2].start, T0 + 280us);
    EXPECT_EQ(windows[4].end, T0 + 600us);
}

TEST(SerialLine, ReturnDelayRegisterCountsTwoMicrosecondSteps) {
    EXPECT_EQ(return_delay(0, 37us), 37us);  // unset: the servo's default
    EXPECT_EQ(return_delay(1, 37us), 2us);
    EXPECT_EQ(return_delay(250, 37us), 500us);
}

TEST(SerialLine, BytesWrittenWhileTheLineIsBusyWaitTheirTurn) {
    SerialLine line(10us);
    const auto first = line.put(T0, 10);             // busy until 100 µs
    const auto early = line.put(T0 + 30us, 6);       // written mid-transfer
    const auto late = line.put(T0 + 500us, 6);       // on a quiet line
    EXPECT_EQ(first.end, T0 + 100us);
    EXPECT_EQ(early.start, T0 + 100us);
    EXPECT_EQ(early.end, T0 + 160us);
    EXPECT_EQ(late.start, T0 + 500us);
}

TEST(SerialLine, UsbAdapterDeliversAtItsLatencyTimer) {
    EXPECT_EQ(usb_delivery(T0 + 140us, T0, 0us), T0 + 140us);
    EXPECT_EQ(usb_delivery(T0 + 140us, T0, 1000us), T0 + 1000us);
    EXPECT_EQ(usb_delivery(T0 + 1000us, T0, 1000us), T0 + 1000us);  // on a boundary: at once
    EXPECT_EQ(usb_delivery(T0 + 1001us, T0, 1000us), T0 + 2000us);
    EXPECT_EQ(usb_delivery(T0 + 3ms, T0, 16ms), T0 + 16ms);
}

}  // namespace
}  // namespace kestro::sim::wire
