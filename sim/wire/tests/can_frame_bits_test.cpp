// CAN frame lengths against frames worked out bit by bit.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "sim/wire/can_bus_clock.hpp"
#include "sim/wire/can_frame_bits.hpp"

namespace kestro::sim::wire {
namespace {

using namespace std::chrono_literals;

std::string text(std::span<const std::uint8_t> bits) {
    std::string out;
    for (std::uint8_t bit : bits) out += static_cast<char>('0' + bit);
    return out;
}

TEST(CanFrameBits, Crc15CheckValue) {
    // The CRC catalogue's check: CRC-15/CAN of the ASCII bytes "123456789" is 0x059E.
    std::vector<std::uint8_t> bits;
    for (char c : std::string("123456789")) {
        for (int i = 7; i >= 0; --i) bits.push_back(static_cast<std::uint8_t>((c >> i) & 1));
    }
    EXPECT_EQ(can_crc15(bits), 0x059E);
}

// Motor 1's feedback frame: id 0x001, 8 bytes 01 80 00 80 08 00 23 20, CRC 0x60B4.
const std::array<std::uint8_t, 8> FEEDBACK{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x23, 0x20};

TEST(CanFrameBits, ClassicEightByteFrameStuffedByHand) {
    // SOF, id, RTR IDE r0, DLC | data bytes | CRC 0x60B4.
    const std::string unstuffed = std::string("0") + "00000000001" + "000" + "1000" +
                                  "00000001" "10000000" "00000000" "10000000" "00001000"
                                  "00000000" "00100011" "00100000" +
                                  "110000010110100";
    const auto region = can_stuffed_region(0x001, false, FEEDBACK);
    EXPECT_EQ(text(region), unstuffed);
    ASSERT_EQ(region.size(), 98U);

    // The stuffed frame with each stuff bit in brackets, counted by hand: after every run of
    // five equal bits, one of the other level, which itself starts the next run.
    const std::string marked =
        "00000[1]00000[1]01000100000[1]00000[1]1100000[1]00000[1]00000[1]100000[1]00000[1]"
        "0100000[1]00000[1]00010001100100000[1]1100000[1]10110100";
    std::string stuffed;
    unsigned stuff_bits = 0;
    for (char c : marked) {
        if (c == '[') ++stuff_bits;
        if (c == '0' || c == '1') stuffed += c;
    }
    ASSERT_EQ(stuff_bits, 13U);
    const auto bits = can_stuff(region);
    EXPECT_EQ(text(bits), stuffed);
    EXPECT_EQ(bits.size(), 98U + 13U);
    // Then CRC delimiter, ACK slot and delimiter, end of frame: 121 bits, 121 µs at 1 Mbit/s.
    EXPECT_EQ(can_frame_bits(0x001, false, FEEDBACK), 121U);
}

TEST(CanFrameBits, StuffBitStartsTheNextRun) {
    // Ten zeros: 00000 [1] 00000 [1]; the stuff bit after a run can itself complete a run.
    const std::vector<std::uint8_t> zeros(10, 0);
    EXPECT_EQ(text(can_stuff(zeros)), "000001000001");
    const std::vector<std::uint8_t> mixed{0, 0, 0, 0, 0, 1, 1, 1, 1};
    EXPECT_EQ(text(can_stuff(mixed)), "00000" "1" "11110");
}

TEST(CanFrameBits, EmptyAndExtendedFrames) {
    // Without data: 19 header bits + 15 CRC bits stuffed, plus 10; id 0 is all dominant.
    EXPECT_EQ(can_stuffed_region(0x000, false, {}).size(), 34U);
    EXPECT_EQ(can_stuffed_region(0x1FFFFFFF, true, {}).size(), 54U);
    EXPECT_GE(can_frame_bits(0x7FF, false, FEEDBACK), 98U + 10U);
}

TEST(CanBusClock, FramesFollowEachOtherWithTheIntermission) {
    CanBusClock bus(CanTiming{});
    const auto t0 = Clock::time_point() + 1s;
    const auto request = bus.put(t0, 0x001, false, FEEDBACK);
    EXPECT_EQ(request.end - request.start, 121us);
    // Ready while the first still holds the bus: starts after it and three idle bits.
    const auto queued = bus.put(t0 + 10us, 0x001, false, FEEDBACK);
    EXPECT_EQ(queued.start, t0 + 124us);
    EXPECT_EQ(queued.end, t0 + 245us);
}

}  // namespace
}  // namespace kestro::sim::wire
