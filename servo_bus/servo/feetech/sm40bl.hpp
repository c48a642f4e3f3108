// Register map of the SM40BL arm servos: the shared Feetech operations plus the persistent
// position offset and the EEPROM lock that guards it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "servo_bus/servo/feetech/shared_operations.hpp"

namespace kestro::servo_bus::sm40bl {

using namespace feetech_servo;

Result<GroupValues<std::uint16_t>, ServoBusError> sync_read_raw_offset(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
// Radians, from the sign-magnitude register (2047 counts per half turn).
Result<GroupValues<double>, ServoBusError> sync_read_offset(const FeetechProtocolHandler& handler,
                                                            SerialPort& port, Ids ids);

// The offset lives in EEPROM: the servo ignores these writes while its lock is set.
Result<void, ServoBusError> sync_write_raw_offset(const FeetechProtocolHandler& handler,
                                                  SerialPort& port, Ids ids,
                                                  std::span<const std::uint16_t> values);
Result<void, ServoBusError> sync_write_offset(const FeetechProtocolHandler& handler,
                                              SerialPort& port, Ids ids,
                                              std::span<const double> radians);

Result<void, ServoBusError> sync_write_raw_lock(const FeetechProtocolHandler& handler,
                                                SerialPort& port, Ids ids,
                                                std::span<const std::uint8_t> values);
Result<void, ServoBusError> sync_write_lock(const FeetechProtocolHandler& handler, SerialPort& port,
                                            Ids ids, const std::vector<bool>& locked);

}  // namespace kestro::servo_bus::sm40bl
