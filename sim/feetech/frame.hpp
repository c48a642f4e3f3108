// The servo side of the Feetech wire format, written independently of the product's packet
// code so that a framing bug there shows up as a failed transaction instead of being mirrored.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestro::sim::feetech_frame {

inline constexpr std::uint8_t BROADCAST_ID = 0xFE;

namespace instruction {
inline constexpr std::uint8_t PING = 0x01;
inline constexpr std::uint8_t READ = 0x02;
inline constexpr std::uint8_t WRITE = 0x03;
inline constexpr std::uint8_t REBOOT = 0x08;
inline constexpr std::uint8_t SYNC_READ = 0x82;
inline constexpr std::uint8_t SYNC_WRITE = 0x83;
}  // namespace instruction

// One instruction as a servo received it.
struct Request {
    std::uint8_t id = 0;
    std::uint8_t instruction = 0;
    std::vector<std::uint8_t> params;

    bool operator==(const Request&) const = default;
};

// ~(sum of id, length, instruction or error, parameters), modulo 256.
std::uint8_t checksum(std::span<const std::uint8_t> covered);

// FF FF id (P + 2) error params... checksum
std::vector<std::uint8_t> status_frame(std::uint8_t id, std::uint8_t error,
                                       std::span<const std::uint8_t> params);

// Cuts requests out of a byte stream the way a servo listens: bytes before a FF FF header are
// skipped, and a frame with a bad checksum is dropped without a reply.
class RequestReader {
public:
    void feed(std::span<const std::uint8_t> bytes);
    // The next complete, valid request, or nothing until more bytes arrive.
    std::optional<Request> next();
    // Drops an unfinished frame, as a servo does after a gap on the line.
    void clear();
    bool has_partial_frame() const { return !pending_.empty(); }

private:
    std::vector<std::uint8_t> pending_;
};

}  // namespace kestro::sim::feetech_frame
