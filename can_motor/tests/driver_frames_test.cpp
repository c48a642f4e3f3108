// The Damiao driver's frames, byte for byte, with replies scripted on the raw end of the bus.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/tests/raw_peer.hpp"

namespace kestro::can_motor::damiao {
namespace {

using namespace std::chrono_literals;
using can_motor::testing::Bytes;
using can_motor::testing::classic_record;
using can_motor::testing::RawPeer;

constexpr MitLimits YAW_LIMITS{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
constexpr std::uint32_t SERVICE_ID = 0x7FF;

Damiao motor(std::uint16_t can_id, std::uint16_t master_id = 0) {
    return *Damiao::create(20ms, YAW_LIMITS, can_id, master_id ? master_id : can_id);
}

// Feedback of motor 1, enabled: position code 0x8000, velocity and torque codes 0x800.
const Bytes FEEDBACK{0x11, 0x80, 0x00, 0x80, 0x08, 0x00, 30, 40};

class DriverFramesTest : public ::testing::Test {
protected:
    // The one frame the driver wrote.
    Bytes written() {
        auto record = bus.next_written();
        EXPECT_TRUE(record);
        EXPECT_FALSE(bus.next_written()) << "more than one frame written";
        return record.value_or(Bytes{});
    }

    RawPeer bus;
};

TEST_F(DriverFramesTest, EnableAndDisableSendSpecialPayloadsAndDecodeTheFeedback) {
    bus.inject(classic_record(0x001, FEEDBACK));
    auto state = motor(1).enable(bus.transport());
    ASSERT_TRUE(state) << state.error().to_string();
    EXPECT_EQ(written(), classic_record(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(state->status, 1);
    EXPECT_NEAR(state->position, 0.0f, 0.001f);
    EXPECT_EQ(state->temp_driver, 30);
    EXPECT_EQ(state->temp_motor, 40);

    bus.inject(classic_record(0x001, FEEDBACK));
    ASSERT_TRUE(motor(1).disable(bus.transport()));
    EXPECT_EQ(written(), classic_record(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}));
}

TEST_F(DriverFramesTest, ControlCommandsOfEveryMode) {
    struct Case {
        ControlCommand command;
        std::uint32_t id;
        Bytes payload;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {MitCommand{0.0f, 0.0f, 30.0f, 1.0f, 0.0f}, 0x001,
         {0x7F, 0xFF, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF}},
        // 1.0f = 00 00 80 3F, -2.5f = 00 00 20 C0
        {PosVel{1.0f, -2.5f}, 0x101, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0}},
        {Vel{-2.5f}, 0x201, {0x00, 0x00, 0x20, 0xC0, 0, 0, 0, 0}},
        // 10000 = 10 27
        {ForcePos{1.0f, 150.0f, 2.0f}, 0x301, {0x00, 0x00, 0x80, 0x3F, 0x10, 0x27, 0x10, 0x27}},
        // 0.5 rad/s → 50 = 32 00; 0.25 → 2500 = C4 09
        {ForcePos{1.0f, 0.5f, 0.25f}, 0x301, {0x00, 0x00, 0x80, 0x3F, 0x32, 0x00, 0xC4, 0x09}},
        {ForcePos{1.0f, nan, -1.0f}, 0x301, {0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        bus.inject(classic_record(0x001, FEEDBACK));
        auto state = motor(1).control(bus.transport(), c.command);
        ASSERT_TRUE(state) << state.error().to_string();
        EXPECT_EQ(written(), classic_record(c.id, c.payload)) << std::hex << c.id;
    }
}

TEST_F(DriverFramesTest, StatusRequestGoesToTheServiceId) {
    bus.inject(classic_record(0x002, FEEDBACK));
    ASSERT_TRUE(motor(2).request_feedback(bus.transport()));
    EXPECT_EQ(written(), classic_record(SERVICE_ID, {0x02, 0x00, 0xCC, 0x00, 0, 0, 0, 0}));
}

TEST_F(DriverFramesTest, IdentifiersAreMaskedToElevenBits) {
    // The reply is expected from master 0x801 & 0x7FF = 0x001.
    bus.inject(classic_record(0x001, FEEDBACK));
    ASSERT_TRUE(
        motor(1, 0x801).cmd_at_arbitration(bus.transport(), 0xF05, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(written(), classic_record(0x705, {1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(DriverFramesTest, ShortFeedbackIsAnUnexpectedReplyNotAnOverread) {
    bus.inject(classic_record(0x001, {1, 2, 3}));
    auto state = motor(1).request_feedback(bus.transport());
    ASSERT_FALSE(state);
    EXPECT_EQ(state.error(), Error(Error::UnexpectedReply{{1, 2, 3}}));
    EXPECT_EQ(state.error().to_string(),
              "unexpected reply (data did not match register-reply pattern): [1, 2, 3]");
}

TEST_F(DriverFramesTest, ReadRegisterSkipsEverythingButItsReply) {
    bus.inject(classic_record(0x003, {0x03, 0x00, 0x33, 0x0B, 0x07, 0, 0, 0}));  // other register
    bus.inject(classic_record(0x003, {0x03, 0x00, 0x33, 0x0A, 0x07, 0, 0}));     // 7 bytes
    bus.inject(classic_record(0x003, {0x03, 0x00, 0x55, 0x0A, 0x07, 0, 0, 0}));  // write reply
    // A late answer of motor 2 (or of a motor 0x0103) to a read that had timed out.
    bus.inject(classic_record(0x002, {0x02, 0x00, 0x33, 0x0A, 0x02, 0, 0, 0}));
    bus.inject(classic_record(0x003, {0x03, 0x01, 0x33, 0x0A, 0x02, 0, 0, 0}));
    bus.inject(classic_record(0x003, {0x03, 0x00, 0x33, 0x0A, 0x01, 0, 0, 0}));
    auto value = motor(3).read_register(bus.transport(), CTRL_MODE);
    ASSERT_TRUE(value) << value.error().to_string();
    EXPECT_EQ(*value, RegisterValue::Uint32(1));
    EXPECT_EQ(written(), classic_record(SERVICE_ID, {0x03, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));

    // A float register's bytes are the float's bit pattern; 12.5f = 00 00 48 41.
    bus.inject(classic_record(0x7E0, {0x03, 0x00, 0x33, 21, 0x00, 0x00, 0x48, 0x41}));
    EXPECT_EQ(motor(3).read_register(bus.transport(), 21), RegisterValue::Float(12.5f));
}

TEST_F(DriverFramesTest, ReadRegisterTimesOutAsATransportError) {
    const auto start = std::chrono::steady_clock::now();
    auto value = motor(3).read_register(bus.transport(), CTRL_MODE);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().to_string(), "transport error: timeout waiting for frame");
}

TEST_F(DriverFramesTest, RegisterMisuseIsReportedBeforeSending) {
    const Damiao m = motor(3);
    auto mismatch = m.write_register(bus.transport(), CTRL_MODE, RegisterValue::Float(1.0f));
    EXPECT_EQ(mismatch.error(),
              Error(Error::TypeMismatch{10, RegisterType::Uint32, RegisterType::Float}));
    EXPECT_EQ(mismatch.error().to_string(), "register 10: expected Uint32, got Float");
    EXPECT_EQ(m.write_register(bus.transport(), 80, RegisterValue::Float(1.0f)).error().to_string(),
              "register 80 is read-only");
    EXPECT_EQ(m.write_register(bus.transport(), 40, RegisterValue::Float(1.0f)).error().to_string(),
              "register 40 is not in the Damiao register table");
    EXPECT_EQ(m.read_register(bus.transport(), 82).error(), Error(Error::UnknownRegister{82}));
    EXPECT_FALSE(bus.next_written());
}

TEST_F(DriverFramesTest, WriteRegisterSendsAndDoesNotWait) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        motor(3).write_register(bus.transport(), CTRL_MODE, RegisterValue::Uint32(0x04030201)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10ms);
    EXPECT_EQ(written(), classic_record(SERVICE_ID, {0x03, 0x00, 0x55, 0x0A, 1, 2, 3, 4}));
}

TEST_F(DriverFramesTest, EnsureControlModeReadsOnlyWhenAlreadySet) {
    bus.inject(classic_record(0x003, {0x03, 0x00, 0x33, 0x0A, 0x01, 0, 0, 0}));
    ASSERT_TRUE(motor(3).ensure_control_mode(bus.transport(), control_mode::MIT));
    EXPECT_EQ(written(), classic_record(SERVICE_ID, {0x03, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));
}

TEST(DamiaoRecordTest, UnusableLimitsAreRejectedWithTheirName) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto negative = Damiao::create(20ms, {12.5f, -30.0f, 500.0f, 5.0f, 10.0f}, 1, 1);
    ASSERT_FALSE(negative);
    EXPECT_EQ(negative.error(),
              "invalid MIT limits for CAN id 1: v_max must be a non-negative number, got -30.0");
    auto not_a_number = Damiao::create(20ms, {12.5f, 30.0f, 500.0f, 5.0f, nan}, 2, 2);
    ASSERT_FALSE(not_a_number);
    EXPECT_EQ(not_a_number.error(),
              "invalid MIT limits for CAN id 2: t_max must be a non-negative number, got NaN");

    auto zeros = Damiao::create(20ms, {0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, 3, 3);
    ASSERT_TRUE(zeros);
    EXPECT_EQ(zeros->can_id(), 3);
    EXPECT_EQ(zeros->timeout(), 20ms);
}

}  // namespace
}  // namespace kestro::can_motor::damiao
