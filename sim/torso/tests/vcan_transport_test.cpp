// The SocketCAN transport on a real kernel CAN stack: two transports on vcan0 exchange
// classic and CAN FD frames, and a receive with nothing on the bus times out. Skipped where
// there is no vcan0; scripts/test-vmcan.sh runs it inside a guest that has one.

#include <gtest/gtest.h>

#include "can_motor/transport/socketcan_backend.hpp"

namespace kestro::can_motor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* INTERFACE = "vcan0";

// Two transports on the interface, as two programs on one bus.
class Vcan : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* slot : {&sender_, &receiver_}) {
            auto transport = SocketCanTransport::open(INTERFACE);
            ASSERT_TRUE(transport) << transport.error().to_string();
            slot->emplace(std::move(*transport));
        }
    }

    SocketCanTransport& sender() { return *sender_; }
    SocketCanTransport& receiver() { return *receiver_; }

private:
    std::optional<SocketCanTransport> sender_;
    std::optional<SocketCanTransport> receiver_;
};

TEST_F(Vcan, ClassicAndFdFramesPassBetweenTwoSockets) {
    can_motor::CanPayload long_payload(64);
    for (std::size_t i = 0; i < long_payload.size(); ++i) long_payload[i] = static_cast<std::uint8_t>(i);
    const std::vector<CanFrame> frames{
        {CanId::standard(0x123), {1, 2, 3}, false, false},
        {CanId::extended(0x1ABCDEF0), {0xFF}, false, false},
        {CanId::standard(0x7FF), {}, false, false},
        // Only a socket with CAN FD frames enabled may send these, or is given them.
        {CanId::standard(0x001), long_payload, true, true},
        {CanId::extended(0x42), {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2}, true, false},
    };
    for (const CanFrame& frame : frames) {
        ASSERT_TRUE(sender().send(frame)) << frame.id.value();
        auto received = receiver().recv(1s);
        ASSERT_TRUE(received) << received.error().to_string();
        EXPECT_EQ(*received, frame) << frame.id.value();
    }
    auto own = sender().recv(20ms);
    ASSERT_FALSE(own) << "a socket does not receive its own frames";
    EXPECT_TRUE(own.error().is<CanError::Timeout>());
}

TEST_F(Vcan, ReceiveOnAQuietBusTimesOutWithinItsLimit) {
    const auto start = Clock::now();
    auto nothing = receiver().recv(50ms);
    const auto waited = Clock::now() - start;
    ASSERT_FALSE(nothing);
    EXPECT_TRUE(nothing.error().is<CanError::Timeout>()) << nothing.error().to_string();
    // The kernel may end the wait up to a scheduler tick early, and an emulated machine late.
    EXPECT_GE(waited, 35ms);
    EXPECT_LT(waited, 1s);
}

}  // namespace
}  // namespace kestro::can_motor
