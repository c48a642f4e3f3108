// A frame as the simulated motors see it on the bus, and the kernel's 16- and 72-byte frame
// records that carry it. Written apart from the product's transport code, so that a record
// layout bug there fails a test instead of being mirrored here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestro::sim {

struct BusFrame {
    std::uint32_t id = 0;  // 11 or 29 bits, without flags
    bool extended = false;
    std::vector<std::uint8_t> data;
    bool fd = false;

    bool operator==(const BusFrame&) const = default;
};

namespace bus_record {

inline constexpr std::size_t CLASSIC_SIZE = 16;
inline constexpr std::size_t FD_SIZE = 72;

// Little-endian identifier word with the extended flag (bit 31), length byte, flags byte
// (0x04 for FD), zero padding, payload.
std::vector<std::uint8_t> pack(const BusFrame& frame);

// Nothing for a record of another size, and for remote and error frames, which no motor
// answers.
std::optional<BusFrame> unpack(std::span<const std::uint8_t> record);

}  // namespace bus_record
}  // namespace kestro::sim
