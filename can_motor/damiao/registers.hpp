// The catalogue of a Damiao motor's configuration and status registers: which ids exist,
// which may be written, and whether each 32-bit value is a float or an unsigned integer.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestro::can_motor::damiao {

enum class RegisterType { Float, Uint32 };

// "Float" or "Uint32".
std::string_view type_name(RegisterType type);

struct RegisterInfo {
    std::uint8_t id;  // byte 3 of register frames
    std::string_view name;
    std::string_view description;
    bool writable;
    RegisterType value_type;
};

// Register ids used by name.
inline constexpr std::uint8_t TIMEOUT = 9;  // 1 unit = 50 µs without a frame; 0: never
inline constexpr std::uint8_t CTRL_MODE = 10;

// The row for `id`, or null when the table has none.
const RegisterInfo* lookup(std::uint8_t id);

// Every row, in id order.
std::span<const RegisterInfo> register_table();

}  // namespace kestro::can_motor::damiao
