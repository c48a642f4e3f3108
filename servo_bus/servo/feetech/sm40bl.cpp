#include "servo_bus/servo/feetech/sm40bl.hpp"

#include "servo_bus/servo/feetech/registers.hpp"

namespace kestro::servo_bus::sm40bl {

namespace registers = feetech_registers;

Result<GroupValues<std::uint16_t>, ServoBusError> sync_read_raw_offset(
    const FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return registers::sync_read(handler, port, ids, registers::OFFSET);
}

Result<GroupValues<double>, ServoBusError> sync_read_offset(const FeetechProtocolHandler& handler,
                                                            SerialPort& port, Ids ids) {
    return registers::sync_read_as<double>(handler, port, ids, registers::OFFSET,
                                           registers::offset_to_radians);
}

Result<void, ServoBusError> sync_write_raw_offset(const FeetechProtocolHandler& handler,
                                                  SerialPort& port, Ids ids,
                                                  std::span<const std::uint16_t> values) {
    return registers::sync_write(handler, port, ids, registers::OFFSET, values);
}

Result<void, ServoBusError> sync_write_offset(const FeetechProtocolHandler& handler,
                                              SerialPort& port, Ids ids,
                                              std::span<const double> radians) {
    return registers::sync_write_as(handler, port, ids, registers::OFFSET, radians,
                                    registers::radians_to_offset);
}

Result<void, ServoBusError> sync_write_raw_lock(const FeetechProtocolHandler& handler,
                                                SerialPort& port, Ids ids,
                                                std::span<const std::uint8_t> values) {
    return registers::sync_write(handler, port, ids, registers::LOCK, values);
}

Result<void, ServoBusError> sync_write_lock(const FeetechProtocolHandler& handler, SerialPort& port,
                                            Ids ids, const std::vector<bool>& locked) {
    return registers::sync_write_as(handler, port, ids, registers::LOCK, locked,
                                    registers::bool_to_byte);
}

}  // namespace kestro::servo_bus::sm40bl
