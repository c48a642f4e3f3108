// Feetech serial servo packets: building instruction packets, framing them, and checking and
// decoding status packets. Pure data handling, no I/O.
#pragma once

#include <cstdint>
#include <string_view>
#include <span>

#include "common/inline_vector.hpp"
#include "common/result.hpp"
#include "servo_bus/feetech_protocol/error.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"

namespace kestro::servo_bus {

// Instruction codes on the wire. Note that sync read (0x82) comes before sync write (0x83).
enum class InstructionKind : std::uint8_t {
    Ping = 0x01,
    Read = 0x02,
    Write = 0x03,
    Reset = 0x06,
    Reboot = 0x08,
    SyncRead = 0x82,
    SyncWrite = 0x83,
};

// The most parameter bytes a packet can carry: its length byte holds parameters + 2 and must fit
// one byte.
inline constexpr std::size_t MAX_PARAMS = 253;
// Header (2), id, length, instruction or error byte, checksum.
inline constexpr std::size_t FRAME_OVERHEAD = 6;
// The most servos one sync read or sync write addresses: its parameters also hold the address
// and the length.
inline constexpr std::size_t MAX_GROUP_IDS = MAX_PARAMS - 2;

// Packets live inside their objects, sized by the protocol, so a transaction needs no heap.
using PacketParams = InlineVector<std::uint8_t, MAX_PARAMS>;
using PacketBytes = InlineVector<std::uint8_t, MAX_PARAMS + FRAME_OVERHEAD>;
// One value per servo of a group, in the order of its ids.
template <class T>
using GroupValues = InlineVector<T, MAX_GROUP_IDS>;

// Flags of a status packet's error byte, named after the bit that carries them; bits 4, 6 and
// 7 carry none.
enum class StatusErrorFlag : std::uint8_t { Bit0, Bit1, Bit2, Bit3, Bit5 };

class InstructionPacketFeetech {
public:
    static constexpr std::uint8_t BROADCAST_ID = 0xFE;

    // A packet without parameters, such as Ping or Reboot; it always fits.
    InstructionPacketFeetech(std::uint8_t id, InstructionKind instruction)
        : id_(id), instruction_(instruction) {}

    // Fails with Unsupported when there are more than MAX_PARAMS parameter bytes, since such a
    // packet cannot be framed.
    static Result<InstructionPacketFeetech, CommunicationErrorKind> create(
        std::uint8_t id, InstructionKind instruction, std::span<const std::uint8_t> params);

    std::uint8_t id() const { return id_; }
    InstructionKind instruction() const { return instruction_; }
    const PacketParams& params() const { return params_; }

    // FF FF id length instruction params... checksum
    PacketBytes to_bytes() const;

private:
    InstructionPacketFeetech(std::uint8_t id, InstructionKind instruction,
                             std::span<const std::uint8_t> params)
        : id_(id), instruction_(instruction), params_(params.begin(), params.end()) {}

    std::uint8_t id_;
    InstructionKind instruction_;
    PacketParams params_;
};

// At most one of each flag.
using StatusErrorFlags = InlineVector<StatusErrorFlag, 5>;
// The bits of the error byte that carry a flag.
inline constexpr std::uint8_t STATUS_ERROR_FLAG_BITS = 0b0010'1111;

// The flags set in a status packet's error byte, in bit order.
StatusErrorFlags error_flags(std::uint8_t error_byte);
// What the servo reports with each flag: "input_voltage", "angle_sensor", "overheat",
// "over_current", "overload".
std::string_view flag_name(StatusErrorFlag flag);

// A decoded reply. Its parameters are a view of the bytes it was decoded from, which must
// outlive it: a reply is looked at where it was read, and copying it on would cost more than
// decoding it. The flags are decoded from the error byte when asked for, which a read of
// positions never does.
class StatusPacketFeetech {
public:
    StatusPacketFeetech(std::uint8_t id, std::uint8_t error_byte,
                        std::span<const std::uint8_t> params)
        : id_(id), error_byte_(error_byte), params_(params) {}

    std::uint8_t id() const { return id_; }
    std::uint8_t error_byte() const { return error_byte_; }
    StatusErrorFlags errors() const { return error_flags(error_byte_); }
    std::span<const std::uint8_t> params() const { return params_; }

private:
    std::uint8_t id_;
    std::uint8_t error_byte_;
    std::span<const std::uint8_t> params_;
};

static_assert(InstructionPacket<InstructionPacketFeetech>);
static_assert(StatusPacket<StatusPacketFeetech>);

// The Feetech protocol's packet constructors.
struct PacketFeetech {
    static InstructionPacketFeetech read_packet(std::uint8_t id, std::uint8_t address,
                                                std::uint8_t length);

    static Result<InstructionPacketFeetech, CommunicationErrorKind> write_packet(
        std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);

    static Result<InstructionPacketFeetech, CommunicationErrorKind> sync_read_packet(
        std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length);

    // `data` holds `bytes_per_id` bytes for each id, one after the other in the order of
    // `ids`. The ids must be non-empty and `data` exactly that long; otherwise, or when the
    // packet would not fit, it fails with Unsupported instead of sending something the servos
    // would misread.
    static Result<InstructionPacketFeetech, CommunicationErrorKind> sync_write_packet(
        std::span<const std::uint8_t> ids, std::uint8_t address, std::size_t bytes_per_id,
        std::span<const std::uint8_t> data);

    // Checks and decodes a complete reply (header included) from `expected_id`; the packet
    // views `bytes`. A checksum mismatch also prints a diagnostic line on standard output.
    static Result<StatusPacketFeetech, CommunicationErrorKind> status_packet(
        std::span<const std::uint8_t> bytes, std::uint8_t expected_id);
};

}  // namespace kestro::servo_bus
