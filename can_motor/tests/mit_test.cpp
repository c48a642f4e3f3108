#include "can_motor/damiao/mit.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kestro::can_motor::damiao {
namespace {

using Payload = std::array<std::uint8_t, 8>;

constexpr MitLimits YAW{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
constexpr float QUIET_NAN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t p_code(const Payload& b) { return (b[0] << 8) | b[1]; }
std::uint32_t v_code(const Payload& b) { return (b[2] << 4) | (b[3] >> 4); }
std::uint32_t kp_code(const Payload& b) { return ((b[3] & 0xF) << 8) | b[4]; }
std::uint32_t kd_code(const Payload& b) { return (b[5] << 4) | (b[6] >> 4); }
std::uint32_t t_code(const Payload& b) { return ((b[6] & 0xF) << 8) | b[7]; }

TEST(MitEncodeTest, WorkedExample) {
    EXPECT_EQ(encode(YAW, {0.0f, 0.0f, 30.0f, 1.0f, 0.0f}),
              (Payload{0x7F, 0xFF, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF}));
}

TEST(MitEncodeTest, FieldsClampToTheirRanges) {
    const Payload high = encode(YAW, {20.0f, 100.0f, 900.0f, 9.0f, 50.0f});
    EXPECT_EQ(p_code(high), 65535u);
    EXPECT_EQ(v_code(high), 4095u);
    EXPECT_EQ(kp_code(high), 4095u);
    EXPECT_EQ(kd_code(high), 4095u);
    EXPECT_EQ(t_code(high), 4095u);
    EXPECT_EQ(encode(YAW, {-20.0f, -100.0f, -1.0f, -1.0f, -50.0f}), Payload{});
}

TEST(MitEncodeTest, NanFieldsAndNanQuotientsGiveZero) {
    EXPECT_EQ(encode(YAW, {QUIET_NAN, QUIET_NAN, QUIET_NAN, QUIET_NAN, QUIET_NAN}), Payload{});
    const MitLimits no_kp{12.5f, 30.0f, 0.0f, 5.0f, 10.0f};  // 0 × 4095 / 0
    EXPECT_EQ(kp_code(encode(no_kp, {0.0f, 0.0f, 30.0f, 1.0f, 0.0f})), 0u);
}

TEST(MitEncodeTest, UnusableLimitsNeverLeakIntoNeighbouringFields) {
    const MitLimits broken{-1.0f, QUIET_NAN, -500.0f, std::numeric_limits<float>::infinity(), 0.0f};
    const Payload payload = encode(broken, {1.0f, 1.0f, 30.0f, 1.0f, 1.0f});
    EXPECT_LE(v_code(payload), 4095u);
    EXPECT_LE(kd_code(payload), 4095u);
}

TEST(MitDecodeTest, RangeEndsAndMidpoint) {
    auto state = [](std::uint32_t p, std::uint32_t v, std::uint32_t t) {
        const Payload b{0x00,
                        static_cast<std::uint8_t>(p >> 8),
                        static_cast<std::uint8_t>(p),
                        static_cast<std::uint8_t>(v >> 4),
                        static_cast<std::uint8_t>(((v & 0xF) << 4) | (t >> 8)),
                        static_cast<std::uint8_t>(t),
                        0,
                        0};
        return *decode_state(YAW, b);
    };
    EXPECT_EQ(state(0, 0, 0).position, -12.5f);
    EXPECT_EQ(state(0, 0, 0).velocity, -30.0f);
    EXPECT_EQ(state(0, 0, 0).torque, -10.0f);
    EXPECT_EQ(state(65535, 4095, 4095).position, 12.5f);
    EXPECT_EQ(state(65535, 4095, 4095).torque, 10.0f);
    // The code nearest the middle lies just below zero: −v_max / 4095.
    EXPECT_NEAR(state(0, 2047, 0).velocity, -30.0f / 4095.0f, 1e-6);
}

TEST(MitDecodeTest, HeaderAndTemperatureBytes) {
    const Payload b{0x13, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 40, 55};
    const MitState s = *decode_state(YAW, b);
    EXPECT_EQ(s.motor_id, 3);
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.temp_driver, 40);
    EXPECT_EQ(s.temp_motor, 55);
}

TEST(MitDecodeTest, ZeroRoundTripsToATinyNegativePosition) {
    const Payload command = encode(YAW, {0.0f, 0.0f, 0.0f, 0.0f, 0.0f});
    // A feedback frame carries the position code in bytes 1 and 2.
    const Payload feedback{0x01, command[0], command[1], 0x80, 0x08, 0x00, 0, 0};
    EXPECT_EQ(decode_state(YAW, feedback)->position, -0.00019073486f);
}

TEST(MitDecodeTest, ShortPayloadGivesNothing) {
    const std::uint8_t seven[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_FALSE(decode_state(YAW, seven));
    EXPECT_FALSE(decode_state(YAW, {}));
}

}  // namespace
}  // namespace kestro::can_motor::damiao
