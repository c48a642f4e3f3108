#include "servo_bus/feetech_protocol/feetech.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "servo_bus/tests/printers.hpp"

namespace kestro::servo_bus {
namespace {

using Bytes = std::vector<std::uint8_t>;

Result<StatusPacketFeetech, CommunicationErrorKind> decode(const Bytes& bytes,
                                                           std::uint8_t expected_id) {
    return PacketFeetech::status_packet(bytes, expected_id);
}

TEST(FeetechPacket, WorkedExamplesEncodeToTheirWireBytes) {
    EXPECT_EQ(InstructionPacketFeetech(1, InstructionKind::Ping).to_bytes(),
              (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));
    EXPECT_EQ(PacketFeetech::read_packet(1, 0x38, 2).to_bytes(),
              (Bytes{0xFF, 0xFF, 0x01, 0x04, 0x02, 0x38, 0x02, 0xBE}));
    const Bytes ids{1, 2};
    EXPECT_EQ(PacketFeetech::sync_read_packet(ids, 0x38, 2)->to_bytes(),
              (Bytes{0xFF, 0xFF, 0xFE, 0x06, 0x82, 0x38, 0x02, 0x01, 0x02, 0x3C}));
}

TEST(FeetechPacket, SyncWriteLaysOutEachIdWithItsData) {
    const Bytes ids{3, 9};
    const Bytes data{0xA1, 0xA2, 0xB1, 0xB2};
    auto packet = PacketFeetech::sync_write_packet(ids, 0x2A, 2, data);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->id(), 0xFE);
    EXPECT_EQ(packet->instruction(), InstructionKind::SyncWrite);
    EXPECT_EQ(packet->params(), (Bytes{0x2A, 2, 3, 0xA1, 0xA2, 9, 0xB1, 0xB2}));
    const auto wire = packet->to_bytes();
    EXPECT_EQ(wire[3], 10);
    EXPECT_EQ(wire[4], 0x83);
}

TEST(FeetechPacket, PacketsThatCannotBeFramedOrPairedAreRejected) {
    const Bytes longest(252, 0);
    EXPECT_TRUE(PacketFeetech::write_packet(1, 0, longest));  // 253 parameters: length byte 255
    const Bytes too_long(253, 0);
    EXPECT_EQ(PacketFeetech::write_packet(1, 0, too_long).error(),
              CommunicationErrorKind::Unsupported);

    const Bytes two_ids{1, 2};
    const Bytes one_id{1};
    EXPECT_FALSE(PacketFeetech::sync_write_packet({}, 0x28, 1, {}));
    EXPECT_FALSE(PacketFeetech::sync_write_packet(two_ids, 0x28, 1, Bytes{0x01}));
    EXPECT_FALSE(PacketFeetech::sync_write_packet(two_ids, 0x28, 1, Bytes{0x01, 0x02, 0x03}));
    EXPECT_FALSE(PacketFeetech::sync_write_packet(one_id, 0x28, 300, Bytes(300, 0)));
    // Address, length, then id and data: 2 + 251 parameters is the most that frames.
    EXPECT_TRUE(PacketFeetech::sync_write_packet(one_id, 0x28, 250, Bytes(250, 0)));
    EXPECT_EQ(PacketFeetech::sync_write_packet(one_id, 0x28, 251, Bytes(251, 0)).error(),
              CommunicationErrorKind::Unsupported);

    // 251 ids are the most one sync read can ask.
    const Bytes most_ids(251, 1);
    EXPECT_EQ(PacketFeetech::sync_read_packet(most_ids, 0x38, 2)->to_bytes().size(), 259U);
    EXPECT_EQ(PacketFeetech::sync_read_packet(Bytes(252, 1), 0x38, 2).error(),
              CommunicationErrorKind::Unsupported);
}

TEST(FeetechStatus, DecodesIdFlagsAndParameters) {
    // The packets view these bytes, so they are kept for as long as the packets are looked at.
    const Bytes no_params{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC};
    auto empty = decode(no_params, 1);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->id(), 1);
    EXPECT_TRUE(empty->errors().empty());
    EXPECT_TRUE(empty->params().empty());

    // Servo 2 reports 0x0800 with every flag bit set, including the ignored ones.
    const Bytes position{0xFF, 0xFF, 0x02, 0x04, 0xFF, 0x00, 0x08, 0xF2};
    auto flagged = decode(position, 2);
    ASSERT_TRUE(flagged);
    EXPECT_EQ(Bytes(flagged->params().begin(), flagged->params().end()), (Bytes{0x00, 0x08}));
    EXPECT_EQ(flagged->params().data(), position.data() + 5) << "a view, not a copy";
    EXPECT_EQ(flagged->errors(),
              (std::vector<StatusErrorFlag>{StatusErrorFlag::Bit0, StatusErrorFlag::Bit1,
                                            StatusErrorFlag::Bit2, StatusErrorFlag::Bit3,
                                            StatusErrorFlag::Bit5}));
    EXPECT_TRUE(decode({0xFF, 0xFF, 0x01, 0x02, 0xD0, 0x2C}, 1)->errors().empty());
}

TEST(FeetechStatus, ChecksOccurInOrderAndFailAsValues) {
    // Too short to hold a checksum: no diagnostic line either.
    testing::internal::CaptureStdout();
    EXPECT_EQ(decode({0xFF, 0xFF, 0x01, 0x01, 0x00}, 1).error(),
              CommunicationErrorKind::ParsingError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(decode({0xFF, 0x00, 0x01, 0x02, 0x00, 0xFC}, 1).error(),
              CommunicationErrorKind::ParsingError);
    EXPECT_EQ(decode({0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}, 2).error(),
              CommunicationErrorKind::ParsingError);
    // Length byte 3 on a frame with no room for a parameter.
    EXPECT_EQ(decode({0xFF, 0xFF, 0x01, 0x03, 0x00, 0xFB}, 1).error(),
              CommunicationErrorKind::ParsingError);
}

TEST(FeetechStatus, ChecksumMismatchPrintsTheDiagnosticLineBeforeTheIdCheck) {
    testing::internal::CaptureStdout();
    auto decoded = decode({0xFF, 0xFF, 0x07, 0x02, 0x00, 0x10}, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "read crc: 16, computed crc: 246 data: [255, 255, 7, 2, 0, 16]\n");
    EXPECT_EQ(decoded.error(), CommunicationErrorKind::ChecksumError);
}

TEST(CommunicationErrorKind, DisplayTextsAndDebugNames) {
    const std::vector<std::tuple<CommunicationErrorKind, std::string, std::string>> kinds{
        {CommunicationErrorKind::ChecksumError, "Checksum error", "ChecksumError"},
        {CommunicationErrorKind::ParsingError, "Parsing error", "ParsingError"},
        {CommunicationErrorKind::TimeoutError, "Timeout error", "TimeoutError"},
        {CommunicationErrorKind::IncorrectId(3, 7), "Incorrect id (7 instead of 3)",
         "IncorrectId(3, 7)"},
        {CommunicationErrorKind::Unsupported, "Operation not supported", "Unsupported"},
    };
    for (const auto& [kind, display, debug] : kinds) {
        EXPECT_EQ(kind.to_string(), display);
        EXPECT_EQ(kind.debug_string(), debug);
    }
}

TEST(ServoBusError, RendersTheHeldErrorAndExposesOnlyIoErrorsAsSuch) {
    const ServoBusError timeout = IoError::timed_out();
    EXPECT_EQ(timeout.to_string(), "Operation timed out");
    ASSERT_NE(timeout.io_error(), nullptr);
    EXPECT_EQ(timeout.io_error()->kind(), IoErrorKind::TimedOut);

    const ServoBusError protocol = CommunicationErrorKind::TimeoutError;
    EXPECT_EQ(protocol.to_string(), "Timeout error");
    EXPECT_EQ(protocol.io_error(), nullptr);

    const ServoBusError serial = SerialError(IoErrorKind::Other, "Input/output error (os error 5)");
    EXPECT_EQ(serial.to_string(), "Input/output error (os error 5)");
    EXPECT_EQ(serial.io_error(), nullptr);
    EXPECT_EQ(serial.serial_error()->to_io_error().message(), "Input/output error (os error 5)");
}

}  // namespace
}  // namespace kestro::servo_bus
