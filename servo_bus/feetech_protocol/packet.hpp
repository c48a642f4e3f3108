// What the protocol handler needs from the packets it sends and receives, so that the byte
// layout stays in the packet layer.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>

namespace kestro::servo_bus {

template <class P>
concept InstructionPacket = requires(const P& packet) {
    { packet.id() } -> std::convertible_to<std::uint8_t>;
    packet.instruction();
    { packet.params() } -> std::convertible_to<std::span<const std::uint8_t>>;
    { packet.to_bytes() } -> std::convertible_to<std::span<const std::uint8_t>>;
};

template <class P>
concept StatusPacket = requires(const P& packet) {
    { packet.id() } -> std::convertible_to<std::uint8_t>;
    packet.errors();
    { packet.params() } -> std::convertible_to<std::span<const std::uint8_t>>;
};

}  // namespace kestro::servo_bus
