// The device models on their modelled wires: each packet's window on the wire follows from the
// byte and bit times alone, whatever the machine's own speed, so these never look at a clock.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <mutex>

#include <gtest/gtest.h>

#include "sim/damiao/wire_timed_answer.hpp"
#include "sim/feetech/pty_bus.hpp"
#include "sim/wire/can_frame_bits.hpp"

namespace kestro::sim {
namespace {

using namespace std::chrono_literals;

struct Packet {
    bool from_host;
    std::size_t bytes;
    wire::Window window;
};

// Reads `count` bytes, giving up after a second so that a lost reply fails instead of hanging.
std::size_t read_bytes(int fd, std::size_t count) {
    std::array<std::uint8_t, 256> buffer{};
    std::size_t got = 0;
    while (got < count) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 1000) <= 0) break;
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

TEST(WireTimedServoBus, SyncReadRepliesFollowInIdOrderEachAfterItsReturnDelay) {
    std::mutex mutex;
    std::vector<Packet> packets;
    const std::array<std::uint8_t, 4> ids{1, 2, 3, 4};
    auto bus = FeetechPtyBus::start(ids, wire::SerialTiming{},
                                    [&](bool from_host, std::span<const std::uint8_t> bytes,
                                        const wire::Window& window) {
                                        std::lock_guard lock(mutex);
                                        packets.push_back({from_host, bytes.size(), window});
                                    });
    ASSERT_TRUE(bus);
    (*bus)->model().set_register(3, 7, 25);  // 50 µs; the others keep the default 20 µs
    const int port = ::open((*bus)->slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(port, 0);
    termios settings{};
    ASSERT_EQ(::tcgetattr(port, &settings), 0);
    ::cfmakeraw(&settings);
    ASSERT_EQ(::tcsetattr(port, TCSANOW, &settings), 0);

    const std::array<std::uint8_t, 12> sync_read{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38,
                                                 0x02, 0x01, 0x02, 0x03, 0x04, 0x33};
    ASSERT_EQ(::write(port, sync_read.data(), sync_read.size()), 12);
    EXPECT_EQ(read_bytes(port, 32), 32U);
    ::close(port);
    (*bus)->stop();

    ASSERT_EQ(packets.size(), 5U);
    EXPECT_TRUE(packets[0].from_host);
    EXPECT_EQ(packets[0].bytes, 12U);
    EXPECT_EQ(packets[0].window.end - packets[0].window.start, 120us);
    const std::array<std::chrono::nanoseconds, 4> gaps{20us, 20us, 50us, 20us};
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const Packet& reply = packets[i + 1];
        EXPECT_FALSE(reply.from_host);
        EXPECT_EQ(reply.window.start - packets[i].window.end, gaps[i]) << "reply " << i;
        EXPECT_EQ(reply.window.end - reply.window.start, 80us) << "reply " << i;
    }
}

TEST(WireTimedNeckBus, MotorAnswersAfterItsTurnaroundOnAFreeBus) {
    DamiaoBusModel neck(neck_motor_configs());
    wire::CanBusClock bus(wire::CanTiming{.bitrate = 1'000'000, .motor_turnaround = 150us});
    // The enable request to motor 1; its answer is the motor's feedback frame.
    const BusFrame enable{0x001, false, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, false};
    const auto t0 = wire::Clock::now() - 1s;  // in the past, so nothing waits
    const auto reply = neck.handle(enable, t0);
    ASSERT_EQ(reply.frames.size(), 1U);
    std::vector<Packet> packets;
    ASSERT_TRUE(deliver_on_wire(bus, enable, t0, reply, -1,
                                [&](const BusFrame& frame, const wire::Window& window, bool answer) {
                                    packets.push_back({!answer, frame.data.size(), window});
                                }));
    ASSERT_EQ(packets.size(), 2U);
    const auto bits = [](const BusFrame& frame) {
        return std::chrono::microseconds(wire::can_frame_bits(frame.id, frame.extended, frame.data));
    };
    EXPECT_EQ(packets[0].window.start, t0);
    EXPECT_EQ(packets[0].window.end - t0, bits(enable));
    EXPECT_EQ(packets[1].window.start, packets[0].window.end + 150us);
    EXPECT_EQ(packets[1].window.end - packets[1].window.start, bits(reply.frames[0]));
}

}  // namespace
}  // namespace kestro::sim
