// The kernel's SocketCAN frame records: 16 bytes for a classic frame (struct can_frame), 72 for
// a CAN FD frame (struct canfd_frame), identifier in host byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "can_motor/transport/can_error.hpp"
#include "can_motor/transport/can_frame.hpp"
#include "common/result.hpp"

namespace kestro::can_motor::frame_record {

inline constexpr std::size_t CLASSIC_SIZE = 16;
inline constexpr std::size_t FD_SIZE = 72;

// One encoded record; only the first `size` bytes belong to it.
struct Record {
    std::array<std::uint8_t, FD_SIZE> bytes{};
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

// The payload length rounded up to the next length a CAN FD frame can carry (12, 16, 20, 24,
// 32, 48, 64); 0 to 8 stay as they are.
std::size_t fd_length(std::size_t payload_length);

// `InvalidId` for an identifier beyond its kind's range, `FrameTooLarge` for a payload longer
// than 8 (classic) or 64 (FD) bytes.
Result<Record, CanError> encode(const CanFrame& frame);

// A classic record gives a data, remote or error frame (error frames keep all 8 payload
// bytes), a 72-byte record a CAN FD frame. Any other size is a `Backend` error.
Result<CanFrame, CanError> decode(std::span<const std::uint8_t> record);

}  // namespace kestro::can_motor::frame_record
