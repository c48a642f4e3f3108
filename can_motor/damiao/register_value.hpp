// A register's 32-bit value, typed by the register table: a float (as its IEEE-754 bit
// pattern on the wire) or an unsigned integer, both four bytes little-endian.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "can_motor/damiao/registers.hpp"

namespace kestro::can_motor::damiao {

class RegisterValue {
public:
    static constexpr RegisterValue Float(float value) {
        return RegisterValue(RegisterType::Float, std::bit_cast<std::uint32_t>(value));
    }
    static constexpr RegisterValue Uint32(std::uint32_t value) {
        return RegisterValue(RegisterType::Uint32, value);
    }
    // The four value bytes of a register frame, read as `type`.
    static constexpr RegisterValue from_bits(RegisterType type, std::uint32_t bits) {
        return RegisterValue(type, bits);
    }

    constexpr RegisterType type() const { return type_; }
    constexpr std::uint32_t bits() const { return bits_; }
    constexpr std::optional<float> as_float() const {
        if (type_ != RegisterType::Float) return std::nullopt;
        return std::bit_cast<float>(bits_);
    }
    constexpr std::optional<std::uint32_t> as_uint32() const {
        if (type_ != RegisterType::Uint32) return std::nullopt;
        return bits_;
    }

    constexpr bool operator==(const RegisterValue&) const = default;

private:
    constexpr RegisterValue(RegisterType type, std::uint32_t bits) : type_(type), bits_(bits) {}

    RegisterType type_;
    std::uint32_t bits_;
};

}  // namespace kestro::can_motor::damiao
