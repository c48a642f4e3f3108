#include "servo_bus/feetech_protocol/protocol_handler.hpp"

#include <thread>

namespace kestro::servo_bus {
namespace {

constexpr std::uint8_t HEADER_BYTE = 0xFF;
// Header, id and length: enough to know how much of the reply is still to come.
constexpr std::size_t REPLY_PREFIX = 4;

}  // namespace

Result<bool, ServoBusError> FeetechProtocolHandler::ping(SerialPort& port, std::uint8_t id) const {
    return answers(port, InstructionPacketFeetech(id, InstructionKind::Ping));
}

Result<bool, ServoBusError> FeetechProtocolHandler::reboot(SerialPort& port,
                                                           std::uint8_t id) const {
    return answers(port, InstructionPacketFeetech(id, InstructionKind::Reboot));
}

Result<std::vector<std::uint8_t>, ServoBusError> FeetechProtocolHandler::read(
    SerialPort& port, std::uint8_t id, std::uint8_t address, std::uint8_t length) const {
    if (auto sent = send_instruction_packet(port, PacketFeetech::read_packet(id, address, length));
        !sent) {
        return fail(sent.error());
    }
    auto status = read_status_packet(port, id);
    // The servo gets its pause whether or not its reply was good.
    pause();
    if (!status) return fail(status.error());
    return status->params();
}

Result<void, ServoBusError> FeetechProtocolHandler::write(
    SerialPort& port, std::uint8_t id, std::uint8_t address,
    std::span<const std::uint8_t> data) const {
    auto packet = PacketFeetech::write_packet(id, address, data);
    if (!packet) return fail(packet.error());
    if (auto sent = send_instruction_packet(port, *packet); !sent) return sent;
    if (auto status = read_status_packet(port, id); !status) return fail(status.error());
    pause();
    return {};
}

Result<std::vector<std::vector<std::uint8_t>>, ServoBusError> FeetechProtocolHandler::sync_read(
    SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::uint8_t length) const {
    auto packet = PacketFeetech::sync_read_packet(ids, address, length);
    if (!packet) return fail(packet.error());
    if (auto sent = send_instruction_packet(port, *packet); !sent) return fail(sent.error());

    std::vector<std::vector<std::uint8_t>> replies;
    replies.reserve(ids.size());
    for (std::uint8_t id : ids) {
        auto status = read_status_packet(port, id);
        if (!status) return fail(status.error());
        replies.push_back(status->params());
    }
    return replies;
}

Result<void, ServoBusError> FeetechProtocolHandler::sync_write(
    SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::span<const std::vector<std::uint8_t>> data) const {
    auto packet = PacketFeetech::sync_write_packet(ids, address, data);
    if (!packet) return fail(packet.error());
    return send_instruction_packet(port, *packet);
}

Result<StatusPacketFeetech, ServoBusError> FeetechProtocolHandler::read_status_packet(
    SerialPort& port, std::uint8_t expected_id) const {
    std::vector<std::uint8_t> bytes(REPLY_PREFIX);
    if (auto got = port.read_exact(bytes); !got) return fail(got.error());
    // No search for a header further on: the next transaction drains whatever is left.
    if (bytes[0] != HEADER_BYTE || bytes[1] != HEADER_BYTE) {
        return fail(CommunicationErrorKind::ParsingError);
    }
    bytes.resize(REPLY_PREFIX + bytes[3]);
    if (auto got = port.read_exact(std::span(bytes).subspan(REPLY_PREFIX)); !got) {
        return fail(got.error());
    }
    auto status = PacketFeetech::status_packet(bytes, expected_id);
    if (!status) return fail(status.error());
    return std::move(*status);
}

Result<void, ServoBusError> FeetechProtocolHandler::drain_stale_input(SerialPort& port) const {
    auto waiting = port.bytes_to_read();
    if (!waiting) return fail(waiting.error());
    for (int passes = 0; *waiting != 0; ++passes) {
        if (passes == MAX_DRAIN_PASSES) return fail(CommunicationErrorKind::TimeoutError);
        auto count = port.bytes_to_read();
        if (!count) return fail(count.error());
        std::vector<std::uint8_t> stale(*count);
        if (auto got = port.read_exact(stale); !got) return fail(got.error());
        std::this_thread::sleep_for(DRAIN_PAUSE);
        waiting = port.bytes_to_read();
        if (!waiting) return fail(waiting.error());
    }
    return {};
}

Result<void, ServoBusError> FeetechProtocolHandler::write_packet_bytes(
    SerialPort& port, std::span<const std::uint8_t> bytes) const {
    // Any write failure means the bus did not take the packet in time.
    if (!port.write_all(bytes)) return fail(CommunicationErrorKind::TimeoutError);
    return {};
}

Result<bool, ServoBusError> FeetechProtocolHandler::answers(
    SerialPort& port, const InstructionPacketFeetech& packet) const {
    if (auto sent = send_instruction_packet(port, packet); !sent) return fail(sent.error());
    return read_status_packet(port, packet.id()).has_value();
}

void FeetechProtocolHandler::pause() const {
    if (post_delay_) std::this_thread::sleep_for(*post_delay_);
}

}  // namespace kestro::servo_bus
