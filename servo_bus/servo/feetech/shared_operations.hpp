// The register operations that every Feetech model on the torso offers alike: present
// position, goal position, torque enable and present voltage. The model namespaces (sm40bl,
// sts3025bl) take them in whole. Every operation addresses `ids` with one sync read or sync
// write; reads give one value per id in the order of `ids`, writes take one value per id.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "servo_bus/feetech_protocol/error.hpp"
#include "servo_bus/feetech_protocol/protocol_handler.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace kestro::servo_bus::feetech_servo {

using Ids = std::span<const std::uint8_t>;

Result<GroupValues<std::int16_t>, ServoBusError> sync_read_raw_present_position(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
// Radians; 2048 counts read as 0.
Result<GroupValues<double>, ServoBusError> sync_read_present_position(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids);

Result<void, ServoBusError> sync_write_raw_goal_position(const FeetechProtocolHandler& handler,
                                                         SerialPort& port, Ids ids,
                                                         std::span<const std::int16_t> values);
Result<void, ServoBusError> sync_write_goal_position(const FeetechProtocolHandler& handler,
                                                     SerialPort& port, Ids ids,
                                                     std::span<const double> radians);

Result<GroupValues<std::uint8_t>, ServoBusError> sync_read_raw_torque_enable(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
Result<GroupValues<bool>, ServoBusError> sync_read_torque_enable(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids);

Result<void, ServoBusError> sync_write_raw_torque_enable(const FeetechProtocolHandler& handler,
                                                         SerialPort& port, Ids ids,
                                                         std::span<const std::uint8_t> values);
Result<void, ServoBusError> sync_write_torque_enable(const FeetechProtocolHandler& handler,
                                                     SerialPort& port, Ids ids,
                                                     const std::vector<bool>& enable);

// Raw register bytes in 0.1 V.
Result<GroupValues<std::uint8_t>, ServoBusError> sync_read_present_voltage(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids);

}  // namespace kestro::servo_bus::feetech_servo
