#include "servo_bus/servo/feetech/registers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "servo_bus/tests/printers.hpp"

namespace kestro::servo_bus::feetech_registers {
namespace {

constexpr double PI = std::numbers::pi;

TEST(PositionConversion, CountsToRadians) {
    EXPECT_EQ(position_to_radians(2048), 0.0);
    EXPECT_EQ(position_to_radians(0), -PI);
    EXPECT_EQ(position_to_radians(4095), 3.1400586728019073);
    EXPECT_EQ(position_to_radians(1), -3.1400586728019073);
}

TEST(PositionConversion, RadiansToCountsTruncateAndSaturate) {
    EXPECT_EQ(radians_to_position(0.0), 2048);
    EXPECT_EQ(radians_to_position(-PI), 0);
    EXPECT_EQ(radians_to_position(PI), 4096);
    EXPECT_EQ(radians_to_position(1.0), 2699);
    EXPECT_EQ(radians_to_position(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(radians_to_position(100.0), 32767);
    EXPECT_EQ(radians_to_position(-100.0), -32768);
    EXPECT_EQ(radians_to_position(-std::numeric_limits<double>::infinity()), -32768);
}

TEST(OffsetConversion, SignMagnitudeToRadians) {
    EXPECT_EQ(offset_to_radians(651), 0.9991093392706182);
    EXPECT_EQ(offset_to_radians(2699), -0.9991093392706182);
    const double negative_zero = offset_to_radians(0x800);
    EXPECT_EQ(negative_zero, 0.0);
    EXPECT_TRUE(std::signbit(negative_zero));
    // The sign counts only with bits 12 to 15 clear.
    EXPECT_FALSE(std::signbit(offset_to_radians(0x1800)));
}

TEST(OffsetConversion, RadiansToSignMagnitude) {
    EXPECT_EQ(radians_to_offset(1.0), 651);
    EXPECT_EQ(radians_to_offset(-1.0), 2699);
    EXPECT_EQ(radians_to_offset(PI), 2047);
    EXPECT_EQ(radians_to_offset(-0.0), 0x800);
    EXPECT_EQ(radians_to_offset(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(radians_to_offset(1e9), 65535);
    // Beyond pi the magnitude spills into bit 11, as documented.
    EXPECT_EQ(radians_to_offset(4.0), 2606);
}

TEST(RegisterValues, DecodeLittleEndianAndZeroExtend) {
    EXPECT_EQ(decode_word(std::vector<std::uint8_t>{0x00, 0x08}), 0x0800);
    EXPECT_EQ(decode_word(std::vector<std::uint8_t>{0xFF, 0xFF}), 0xFFFF);
    EXPECT_EQ(decode_word(std::vector<std::uint8_t>{0xFE}), 0x00FE);
}

}  // namespace
}  // namespace kestro::servo_bus::feetech_registers
