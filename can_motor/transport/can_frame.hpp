// A CAN frame as the transport sees it: an identifier of one of the two kinds and a payload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/inline_vector.hpp"

namespace kestro::can_motor {

class CanId {
public:
    enum class Kind { Standard, Extended };

    static constexpr std::uint32_t STANDARD_MAX = 0x7FF;
    static constexpr std::uint32_t EXTENDED_MAX = 0x1FFFFFFF;

    // Any value can be held; `send` rejects one beyond its kind's range before writing.
    static constexpr CanId standard(std::uint16_t value) { return CanId(Kind::Standard, value); }
    static constexpr CanId extended(std::uint32_t value) { return CanId(Kind::Extended, value); }

    constexpr Kind kind() const { return kind_; }
    constexpr std::uint32_t value() const { return value_; }
    constexpr bool is_extended() const { return kind_ == Kind::Extended; }
    constexpr bool in_range() const {
        return value_ <= (is_extended() ? EXTENDED_MAX : STANDARD_MAX);
    }

    // A standard 0x10 and an extended 0x10 are different identifiers.
    constexpr bool operator==(const CanId&) const = default;

private:
    constexpr CanId(Kind kind, std::uint32_t value) : kind_(kind), value_(value) {}

    Kind kind_;
    std::uint32_t value_;
};

// 0 to 8 bytes for a classic frame, 0 to 64 for a CAN FD frame; kept inside the frame, so
// that sending and receiving need no heap.
inline constexpr std::size_t MAX_PAYLOAD = 64;
using CanPayload = InlineVector<std::uint8_t, MAX_PAYLOAD>;

struct CanFrame {
    CanId id = CanId::standard(0);
    CanPayload data;
    bool fd = false;
    // Bit-rate switch; only meaningful for a CAN FD frame.
    bool brs = false;

    bool operator==(const CanFrame&) const = default;
};

}  // namespace kestro::can_motor
