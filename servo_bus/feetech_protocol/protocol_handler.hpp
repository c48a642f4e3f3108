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
#include "servo_bus/feetech_protocol/reply_observer.hpp"
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

    // Tells `observer` (none: nobody) of every reply awaited from now on. It must outlive its
    // use here.
    void set_observer(ReplyObserver* observer) { observer_ = observer; }

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

    // Hands each id's reply parameters, `length` bytes, to `on_reply` in the order of `ids`,
    // as a view that lasts for the call; nothing is copied on the way. The first reply that
    // fails to arrive or to decode fails it all. A reply of another length is not handed over
    // and fails the read with ParsingError once every reply has been read, so the line is left
    // as clean as after a good read.
    template <class OnReply>
    Result<void, ServoBusError> sync_read(SerialPort& port, std::span<const std::uint8_t> ids,
                                          std::uint8_t address, std::uint8_t length,
                                          OnReply&& on_reply) const {
        KESTRO_TRY_ASSIGN(const auto& packet,
                          PacketFeetech::sync_read_packet(ids, address, length));
        KESTRO_TRY(send_instruction_packet(port, packet));
        bool all_of_length = true;
        PacketBytes reply;
        for (std::uint8_t id : ids) {
            KESTRO_TRY_ASSIGN(const StatusPacketFeetech status, read_status_packet(port, id, reply));
            if (status.params().size() == length) {
                on_reply(status.params());
            } else {
                all_of_length = false;
            }
        }
        if (!all_of_length) return fail(CommunicationErrorKind::ParsingError);
        return {};
    }
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

    // Reads one reply (header, then the length its fourth byte announces) into `reply` and
    // decodes it; the packet views `reply`. The observer hears of it either way.
    Result<StatusPacketFeetech, ServoBusError> read_status_packet(SerialPort& port,
                                                                  std::uint8_t expected_id,
                                                                  PacketBytes& reply) const;

private:
    Result<StatusPacketFeetech, ServoBusError> read_unobserved(SerialPort& port,
                                                               std::uint8_t expected_id,
                                                               PacketBytes& reply) const;
    Result<void, ServoBusError> drain_stale_input(SerialPort& port) const;
    Result<void, ServoBusError> write_packet_bytes(SerialPort& port,
                                                   std::span<const std::uint8_t> bytes) const;
    Result<bool, ServoBusError> answers(SerialPort& port,
                                        const InstructionPacketFeetech& packet) const;
    void pause() const;

    std::optional<std::chrono::nanoseconds> post_delay_;
    ReplyObserver* observer_ = nullptr;
};

}  // namespace kestro::servo_bus
