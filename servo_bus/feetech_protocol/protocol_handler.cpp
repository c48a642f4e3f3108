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
    KESTRO_TRY(send_instruction_packet(port, PacketFeetech::read_packet(id, address, length)));
    PacketBytes bytes;
    auto status = read_status_packet(port, id, bytes);
    // The servo gets its pause whether or not its reply was good.
    pause();
    KESTRO_TRY_ASSIGN(const StatusPacketFeetech reply, std::move(status));
    return std::vector<std::uint8_t>(reply.params().begin(), reply.params().end());
}

Result<void, ServoBusError> FeetechProtocolHandler::write(
    SerialPort& port, std::uint8_t id, std::uint8_t address,
    std::span<const std::uint8_t> data) const {
    KESTRO_TRY_ASSIGN(const auto& packet, PacketFeetech::write_packet(id, address, data));
    KESTRO_TRY(send_instruction_packet(port, packet));
    PacketBytes reply;
    KESTRO_TRY(read_status_packet(port, id, reply));
    pause();
    return {};
}

Result<void, ServoBusError> FeetechProtocolHandler::sync_write(
    SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::size_t bytes_per_id, std::span<const std::uint8_t> data) const {
    KESTRO_TRY_ASSIGN(const auto& packet,
                      PacketFeetech::sync_write_packet(ids, address, bytes_per_id, data));
    return send_instruction_packet(port, packet);
}

Result<StatusPacketFeetech, ServoBusError> FeetechProtocolHandler::read_status_packet(
    SerialPort& port, std::uint8_t expected_id, PacketBytes& bytes) const {
    auto status = read_unobserved(port, expected_id, bytes);
    if (observer_ != nullptr) {
        if (status) {
            observer_->on_status(status->id(), status->error_byte());
        } else {
            observer_->on_reply_failure(expected_id, status.error());
        }
    }
    return status;
}

Result<StatusPacketFeetech, ServoBusError> FeetechProtocolHandler::read_unobserved(
    SerialPort& port, std::uint8_t expected_id, PacketBytes& bytes) const {
    bytes.resize_for_overwrite(REPLY_PREFIX);
    KESTRO_TRY(port.read_exact(bytes));
    // No search for a header further on: the next transaction drains whatever is left.
    if (bytes[0] != HEADER_BYTE || bytes[1] != HEADER_BYTE) {
        return fail(CommunicationErrorKind::ParsingError);
    }
    bytes.resize_for_overwrite(REPLY_PREFIX + bytes[3]);
    KESTRO_TRY(port.read_exact(std::span(bytes).subspan(REPLY_PREFIX)));
    KESTRO_TRY_ASSIGN(StatusPacketFeetech status,
                      PacketFeetech::status_packet(bytes, expected_id));
    return status;
}

Result<void, ServoBusError> FeetechProtocolHandler::drain_stale_input(SerialPort& port) const {
    KESTRO_TRY_ASSIGN(std::uint32_t waiting, port.bytes_to_read());
    for (int passes = 0; waiting != 0; ++passes) {
        if (passes == MAX_DRAIN_PASSES) return fail(CommunicationErrorKind::TimeoutError);
        KESTRO_TRY_ASSIGN(const std::uint32_t count, port.bytes_to_read());
        std::vector<std::uint8_t> stale(count);
        KESTRO_TRY(port.read_exact(stale));
        std::this_thread::sleep_for(DRAIN_PAUSE);
        KESTRO_TRY_ASSIGN(waiting, port.bytes_to_read());
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
    KESTRO_TRY(send_instruction_packet(port, packet));
    PacketBytes reply;
    return read_status_packet(port, packet.id(), reply).has_value();
}

void FeetechProtocolHandler::pause() const {
    if (post_delay_) std::this_thread::sleep_for(*post_delay_);
}

}  // namespace kestro::servo_bus
