// The state a Damiao motor reports in the high nibble of every feedback frame's first byte:
// disabled, enabled, or the fault that made it drop torque.
#pragma once

#include <cstdint>
#include <string>

namespace kestro::can_motor::damiao {

namespace motor_status {
inline constexpr std::uint8_t DISABLED = 0x0;
inline constexpr std::uint8_t ENABLED = 0x1;
inline constexpr std::uint8_t OVER_VOLTAGE = 0x8;
inline constexpr std::uint8_t UNDER_VOLTAGE = 0x9;
inline constexpr std::uint8_t OVER_CURRENT = 0xA;
inline constexpr std::uint8_t DRIVER_OVER_TEMPERATURE = 0xB;  // the driver's MOSFETs
inline constexpr std::uint8_t MOTOR_OVER_TEMPERATURE = 0xC;   // the coil
inline constexpr std::uint8_t COMMUNICATION_LOST = 0xD;
inline constexpr std::uint8_t OVERLOAD = 0xE;
}  // namespace motor_status

// "disabled", "enabled", "over_voltage", ... or "unknown_<n>" (decimal) for a code without a
// meaning.
std::string status_name(std::uint8_t status);

// Every state but disabled and enabled is a fault.
constexpr bool is_fault(std::uint8_t status) {
    return status != motor_status::DISABLED && status != motor_status::ENABLED;
}

}  // namespace kestro::can_motor::damiao
