#include "servo_bus/feetech_protocol/feetech.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "common/text.hpp"

namespace kestro::servo_bus {
namespace {

constexpr std::uint8_t HEADER_BYTE = 0xFF;

// NOT of the 8-bit wrapping sum of everything between the header and the checksum.
std::uint8_t checksum(std::span<const std::uint8_t> body) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : body) sum = static_cast<std::uint8_t>(sum + byte);
    return static_cast<std::uint8_t>(~sum);
}

// Kept as a printed line (not a log record): it is how bus noise is diagnosed on the robot.
// Out of line, so that the text it builds costs the good replies nothing.
[[gnu::cold, gnu::noinline]] void print_checksum_mismatch(std::uint8_t received,
                                                          std::uint8_t computed,
                                                          std::span<const std::uint8_t> bytes) {
    const std::string line = "read crc: " + std::to_string(received) +
                             ", computed crc: " + std::to_string(computed) +
                             " data: " + text::bracketed(bytes);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

StatusErrorFlags error_flags(std::uint8_t error_byte) {
    static constexpr std::array<std::pair<unsigned, StatusErrorFlag>, 5> FLAG_BITS{{
        {0, StatusErrorFlag::Bit0},
        {1, StatusErrorFlag::Bit1},
        {2, StatusErrorFlag::Bit2},
        {3, StatusErrorFlag::Bit3},
        {5, StatusErrorFlag::Bit5},
    }};
    StatusErrorFlags flags;
    for (auto [bit, flag] : FLAG_BITS) {
        if ((error_byte >> bit) & 1U) flags.push_back(flag);
    }
    return flags;
}

std::string_view flag_name(StatusErrorFlag flag) {
    switch (flag) {
        case StatusErrorFlag::Bit0: return "input_voltage";
        case StatusErrorFlag::Bit1: return "angle_sensor";
        case StatusErrorFlag::Bit2: return "overheat";
        case StatusErrorFlag::Bit3: return "over_current";
        case StatusErrorFlag::Bit5: return "overload";
    }
    return "unknown";
}

Result<InstructionPacketFeetech, CommunicationErrorKind> InstructionPacketFeetech::create(
    std::uint8_t id, InstructionKind instruction, std::span<const std::uint8_t> params) {
    if (params.size() > MAX_PARAMS) return fail(CommunicationErrorKind::Unsupported);
    return InstructionPacketFeetech(id, instruction, params);
}

PacketBytes InstructionPacketFeetech::to_bytes() const {
    PacketBytes bytes{HEADER_BYTE, HEADER_BYTE, id_, static_cast<std::uint8_t>(params_.size() + 2),
                      static_cast<std::uint8_t>(instruction_)};
    bytes.append(params_.begin(), params_.end());
    bytes.push_back(checksum(std::span(bytes).subspan(2)));
    return bytes;
}

InstructionPacketFeetech PacketFeetech::read_packet(std::uint8_t id, std::uint8_t address,
                                                    std::uint8_t length) {
    // Two parameter bytes always fit.
    const std::uint8_t params[] = {address, length};
    return *InstructionPacketFeetech::create(id, InstructionKind::Read, params);
}

Result<InstructionPacketFeetech, CommunicationErrorKind> PacketFeetech::write_packet(
    std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) {
    if (data.size() >= MAX_PARAMS) return fail(CommunicationErrorKind::Unsupported);
    PacketParams params{address};
    params.append(data.begin(), data.end());
    return InstructionPacketFeetech::create(id, InstructionKind::Write, params);
}

Result<InstructionPacketFeetech, CommunicationErrorKind> PacketFeetech::sync_read_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length) {
    if (ids.size() > MAX_GROUP_IDS) return fail(CommunicationErrorKind::Unsupported);
    PacketParams params{address, length};
    params.append(ids.begin(), ids.end());
    return InstructionPacketFeetech::create(InstructionPacketFeetech::BROADCAST_ID,
                                            InstructionKind::SyncRead, params);
}

Result<InstructionPacketFeetech, CommunicationErrorKind> PacketFeetech::sync_write_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address, std::size_t bytes_per_id,
    std::span<const std::uint8_t> data) {
    // Checked before any product or cast below: neither could fit the packet anyway.
    if (ids.empty() || ids.size() > MAX_GROUP_IDS || bytes_per_id > MAX_PARAMS ||
        data.size() != ids.size() * bytes_per_id ||
        2 + ids.size() * (bytes_per_id + 1) > MAX_PARAMS) {
        return fail(CommunicationErrorKind::Unsupported);
    }
    PacketParams params{address, static_cast<std::uint8_t>(bytes_per_id)};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        params.push_back(ids[i]);
        const auto servo_data = data.subspan(i * bytes_per_id, bytes_per_id);
        params.append(servo_data.begin(), servo_data.end());
    }
    return InstructionPacketFeetech::create(InstructionPacketFeetech::BROADCAST_ID,
                                            InstructionKind::SyncWrite, params);
}

Result<StatusPacketFeetech, CommunicationErrorKind> PacketFeetech::status_packet(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
    const std::size_t total = bytes.size();
    if (total < FRAME_OVERHEAD) return fail(CommunicationErrorKind::ParsingError);

    const std::uint8_t received = bytes[total - 1];
    const std::uint8_t computed = checksum(bytes.subspan(2, total - 3));
    if (received != computed) {
        print_checksum_mismatch(received, computed, bytes);
        return fail(CommunicationErrorKind::ChecksumError);
    }
    if (bytes[0] != HEADER_BYTE || bytes[1] != HEADER_BYTE) {
        return fail(CommunicationErrorKind::ParsingError);
    }
    if (bytes[2] != expected_id) return fail(CommunicationErrorKind::ParsingError);

    const std::uint8_t length = bytes[3];
    if (total - 4 != length) return fail(CommunicationErrorKind::ParsingError);

    return StatusPacketFeetech(bytes[2], bytes[4],
                               bytes.subspan(5, length - 2U));
}

}  // namespace kestro::servo_bus
