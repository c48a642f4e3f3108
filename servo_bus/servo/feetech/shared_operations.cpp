#include "servo_bus/servo/feetech/shared_operations.hpp"

#include "servo_bus/servo/feetech/registers.hpp"

namespace kestro::servo_bus::feetech_servo {

using namespace feetech_registers;

Result<GroupValues<std::int16_t>, ServoBusError> sync_read_raw_present_position(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return sync_read(handler, port, ids, PRESENT_POSITION);
}

Result<GroupValues<double>, ServoBusError> sync_read_present_position(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return sync_read_as<double>(handler, port, ids, PRESENT_POSITION, position_to_radians);
}

Result<void, ServoBusError> sync_write_raw_goal_position(const FeetechProtocolHandler& handler,
                                                         SerialPort& port, Ids ids,
                                                         std::span<const std::int16_t> values) {
    return sync_write(handler, port, ids, GOAL_POSITION, values);
}

Result<void, ServoBusError> sync_write_goal_position(const FeetechProtocolHandler& handler,
                                                     SerialPort& port, Ids ids,
                                                     std::span<const double> radians) {
    return sync_write_as(handler, port, ids, GOAL_POSITION, radians, radians_to_position);
}

Result<GroupValues<std::uint8_t>, ServoBusError> sync_read_raw_torque_enable(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return sync_read(handler, port, ids, TORQUE_ENABLE);
}

Result<GroupValues<bool>, ServoBusError> sync_read_torque_enable(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return sync_read_as<bool>(handler, port, ids, TORQUE_ENABLE, byte_to_bool);
}

Result<void, ServoBusError> sync_write_raw_torque_enable(const FeetechProtocolHandler& handler,
                                                         SerialPort& port, Ids ids,
                                                         std::span<const std::uint8_t> values) {
    return sync_write(handler, port, ids, TORQUE_ENABLE, values);
}

Result<void, ServoBusError> sync_write_torque_enable(const FeetechProtocolHandler& handler,
                                                     SerialPort& port, Ids ids,
                                                     const std::vector<bool>& enable) {
    return sync_write_as(handler, port, ids, TORQUE_ENABLE, enable, bool_to_byte);
}

Result<GroupValues<std::uint8_t>, ServoBusError> sync_read_present_voltage(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return sync_read(handler, port, ids, PRESENT_VOLTAGE);
}

}  // namespace kestro::servo_bus::feetech_servo
