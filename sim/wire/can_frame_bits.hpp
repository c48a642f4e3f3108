// The bits of a classic CAN data frame as they go on the wire, stuff bits included, so that
// the simulated neck bus is busy exactly as long as a real one.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestro::sim::wire {

// CRC-15 of the CAN frame check: polynomial 0x4599, register starting at 0, over `bits`
// (0 dominant, 1 recessive) from the start of frame to the last data bit.
std::uint16_t can_crc15(std::span<const std::uint8_t> bits);

// Start of frame to the end of the CRC sequence, before stuffing: the part that is stuffed.
std::vector<std::uint8_t> can_stuffed_region(std::uint32_t id, bool extended,
                                             std::span<const std::uint8_t> data);

// After five equal bits in a row the sender adds one of the opposite level, which itself
// counts toward the next run.
std::vector<std::uint8_t> can_stuff(std::span<const std::uint8_t> bits);

// CRC delimiter, ACK slot, ACK delimiter and seven end-of-frame bits, never stuffed.
inline constexpr unsigned CAN_FRAME_TAIL_BITS = 10;
// Three recessive bits every frame leaves before the next may start.
inline constexpr unsigned CAN_INTERMISSION_BITS = 3;

// Length of a classic data frame from start of frame to end of frame, stuff bits included.
unsigned can_frame_bits(std::uint32_t id, bool extended, std::span<const std::uint8_t> data);

}  // namespace kestro::sim::wire
