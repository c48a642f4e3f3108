// Request/reply transactions with Feetech servos over an open serial port. The handler does
// not own the port; its owner passes it to every call and guarantees exclusive use meanwhile.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "servo_bus/feetech_protocol/error.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace kestro::servo_bus {

class FeetechProtocolHandler {
public:
    // Stale input is drained at most this many times before a transaction gives up...
    static constexpr int MAX_DRAIN_PASSES = 3;
    // ...with this pause after each pass, for bytes still in flight to land.
    static constexpr std::chrono::milliseconds DRAIN_PAUSE{5};

    // `post_delay`: pause after every read and after every successful write, for servos that
    // need time between transactions; absent means none.
    explicit FeetechProtocolHandler(
        std::optional<std::chrono::nanoseconds> post_delay = std::nullopt)
        : post_delay_(post_delay) {}

    const std::optional<std::chrono::nanoseconds>& post_delay() const { return post_delay_; }

    // True when the servo answered with a valid status packet, false when the reply was missing
    // or bad; an error only when the ping could not be sent.
    Result<bool, ServoBusError> ping(SerialPort& port, std::uint8_t id) const;
    // As ping, for the Reboot instruction.
    Result<bool, ServoBusError> reboot(SerialPort& port, std::uint8_t id) const;

    Result<std::vector<std::uint8_t>, ServoBusError> read(SerialPort& port, std::uint8_t id,
                                                          std::uint8_t address,
                                                          std::uint8_t length) const;
    Result<void, ServoBusError> write(SerialPort& port, std::uint8_t id, std::uint8_t address,
                                      std::span<const std::uint8_t> data) const;

    // Fills `replies` with each id's reply parameters, `length` bytes per id in the order of
    // `ids`; `replies` must hold exactly that many bytes (Unsupported otherwise). The first
    // reply that fails to arrive or to decode fails it all; a reply of another length fails
    // with ParsingError once every reply has been read, so the line is left as clean as
    // after a good read.
    Result<void, ServoBusError> sync_read(SerialPort& port, std::span<const std::uint8_t> ids,
                                          std::uint8_t address, std::uint8_t length,
                                          std::span<std::uint8_t> replies) const;
    // Broadcast, `bytes_per_id` bytes of `data` for each id in turn: no reply is read.
    Result<void, ServoBusError> sync_write(SerialPort& port, std::span<const std::uint8_t> ids,
                                           std::uint8_t address, std::size_t bytes_per_id,
                                           std::span<const std::uint8_t> data) const;

    // Drains stale input, then writes the packet. Input that keeps arriving, or a failed
    // write, gives TimeoutError.
    template <InstructionPacket Packet>
    Result<void, ServoBusError> send_instruction_packet(SerialPort& port,
                                                        const Packet& packet) const {
        KESTRO_TRY(drain_stale_input(port));
        return write_packet_bytes(port, packet.to_bytes());
    }

    // Reads one reply (header, then the length its fourth byte announces) and decodes it.
    Result<StatusPacketFeetech, ServoBusError> read_status_packet(SerialPort& port,
                                                                  std::uint8_t expected_id) const;

private:
    Result<void, ServoBusError> drain_stale_input(SerialPort& port) const;
    Result<void, ServoBusError> write_packet_bytes(SerialPort& port,
                                                   std::span<const std::uint8_t> bytes) const;
    Result<bool, ServoBusError> answers(SerialPort& port,
                                        const InstructionPacketFeetech& packet) const;
    void pause() const;

    std::optional<std::chrono::nanoseconds> post_delay_;
};

}  // namespace kestro::servo_bus
