#include "servo_bus/feetech_protocol/feetech.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "common/text.hpp"

namespace kestro::servo_bus {
namespace {

constexpr std::uint8_t HEADER_BYTE = 0xFF;
// Header, id, length, instruction or error byte, checksum.
constexpr std::size_t FRAME_OVERHEAD = 6;

// NOT of the 8-bit wrapping sum of everything between the header and the checksum.
std::uint8_t checksum(std::span<const std::uint8_t> body) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : body) sum = static_cast<std::uint8_t>(sum + byte);
    return static_cast<std::uint8_t>(~sum);
}

std::vector<StatusErrorFlag> decode_error_flags(std::uint8_t error_byte) {
    constexpr std::array<std::pair<unsigned, StatusErrorFlag>, 5> FLAG_BITS{{
        {0, StatusErrorFlag::Bit0},
        {1, StatusErrorFlag::Bit1},
        {2, StatusErrorFlag::Bit2},
        {3, StatusErrorFlag::Bit3},
        {5, StatusErrorFlag::Bit5},
    }};
    std::vector<StatusErrorFlag> flags;
    for (auto [bit, flag] : FLAG_BITS) {
        if ((error_byte >> bit) & 1U) flags.push_back(flag);
    }
    return flags;
}

}  // namespace

Result<InstructionPacketFeetech, CommunicationErrorKind> InstructionPacketFeetech::create(
    std::uint8_t id, InstructionKind instruction, std::vector<std::uint8_t> params) {
    if (params.size() > MAX_PARAMS) return fail(CommunicationErrorKind::Unsupported);
    return InstructionPacketFeetech(id, instruction, std::move(params));
}

std::vector<std::uint8_t> InstructionPacketFeetech::to_bytes() const {
    std::vector<std::uint8_t> bytes(params_.size() + FRAME_OVERHEAD);
    bytes[0] = HEADER_BYTE;
    bytes[1] = HEADER_BYTE;
    bytes[2] = id_;
    bytes[3] = static_cast<std::uint8_t>(params_.size() + 2);
    bytes[4] = static_cast<std::uint8_t>(instruction_);
    std::copy(params_.begin(), params_.end(), bytes.begin() + 5);
    bytes.back() = checksum(std::span(bytes).subspan(2, bytes.size() - 3));
    return bytes;
}

InstructionPacketFeetech PacketFeetech::read_packet(std::uint8_t id, std::uint8_t address,
                                                    std::uint8_t length) {
    // Two parameter bytes always fit.
    return *InstructionPacketFeetech::create(id, InstructionKind::Read, {address, length});
}

Result<InstructionPacketFeetech, CommunicationErrorKind> PacketFeetech::write_packet(
    std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> params{address};
    params.insert(params.end(), data.begin(), data.end());
    return InstructionPacketFeetech::create(id, InstructionKind::Write, std::move(params));
}

Result<InstructionPacketFeetech, CommunicationErrorKind> PacketFeetech::sync_read_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length) {
    std::vector<std::uint8_t> params{address, length};
    params.insert(params.end(), ids.begin(), ids.end());
    return InstructionPacketFeetech::create(InstructionPacketFeetech::BROADCAST_ID,
                                            InstructionKind::SyncRead, std::move(params));
}

Result<InstructionPacketFeetech, CommunicationErrorKind> PacketFeetech::sync_write_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address,
    std::span<const std::vector<std::uint8_t>> data) {
    if (ids.empty() || ids.size() != data.size()) return fail(CommunicationErrorKind::Unsupported);
    const std::size_t bytes_per_servo = data.front().size();
    for (const auto& servo_data : data) {
        if (servo_data.size() != bytes_per_servo) return fail(CommunicationErrorKind::Unsupported);
    }
    // Checked before the cast below: a longer vector could never fit the packet anyway.
    if (bytes_per_servo > InstructionPacketFeetech::MAX_PARAMS) {
        return fail(CommunicationErrorKind::Unsupported);
    }

    std::vector<std::uint8_t> params{address, static_cast<std::uint8_t>(bytes_per_servo)};
    params.reserve(2 + ids.size() * (bytes_per_servo + 1));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        params.push_back(ids[i]);
        params.insert(params.end(), data[i].begin(), data[i].end());
    }
    return InstructionPacketFeetech::create(InstructionPacketFeetech::BROADCAST_ID,
                                            InstructionKind::SyncWrite, std::move(params));
}

Result<StatusPacketFeetech, CommunicationErrorKind> PacketFeetech::status_packet(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
    const std::size_t total = bytes.size();
    if (total < FRAME_OVERHEAD) return fail(CommunicationErrorKind::ParsingError);

    const std::uint8_t received = bytes[total - 1];
    const std::uint8_t computed = checksum(bytes.subspan(2, total - 3));
    if (received != computed) {
        // Kept as a printed line (not a log record): it is how bus noise is diagnosed on the robot.
        const std::string line = "read crc: " + std::to_string(received) +
                                 ", computed crc: " + std::to_string(computed) +
                                 " data: " + text::bracketed(bytes);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return fail(CommunicationErrorKind::ChecksumError);
    }
    if (bytes[0] != HEADER_BYTE || bytes[1] != HEADER_BYTE) {
        return fail(CommunicationErrorKind::ParsingError);
    }
    if (bytes[2] != expected_id) return fail(CommunicationErrorKind::ParsingError);

    std::vector<StatusErrorFlag> errors = decode_error_flags(bytes[4]);
    const std::uint8_t length = bytes[3];
    if (total - 4 != length) return fail(CommunicationErrorKind::ParsingError);

    const auto params = bytes.subspan(5, length - 2U);
    return StatusPacketFeetech(bytes[2], std::move(errors),
                               std::vector<std::uint8_t>(params.begin(), params.end()));
}

}  // namespace kestro::servo_bus
