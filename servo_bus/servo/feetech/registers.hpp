// Registers shared by the Feetech servo models on the torso: addresses, the conversions between
// register values and physical values, and typed group access through sync read and write.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "common/result.hpp"
#include "servo_bus/feetech_protocol/error.hpp"
#include "servo_bus/feetech_protocol/protocol_handler.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace kestro::servo_bus::feetech_registers {

// A register holding one value of type T, little-endian over sizeof(T) bytes.
template <class T>
struct Register {
    static_assert(sizeof(T) <= sizeof(std::uint16_t), "group access moves 16-bit words");
    std::uint8_t address;
    static constexpr std::uint8_t width = sizeof(T);
};


// The position loop's gains, one byte each, stored in the order P, D, I.
inline constexpr Register<std::uint8_t> P_GAIN{0x15};
inline constexpr Register<std::uint8_t> D_GAIN{0x16};
inline constexpr Register<std::uint8_t> I_GAIN{0x17};
// Sign-magnitude position offset: bits 0-10 magnitude, bit 11 set = negative.
inline constexpr Register<std::uint16_t> OFFSET{0x1F};
inline constexpr Register<std::uint8_t> TORQUE_ENABLE{0x28};
// Counts, 4096 per turn, 2048 = 0 rad.
inline constexpr Register<std::int16_t> GOAL_POSITION{0x2A};
// EEPROM write protection: 0 = unlocked, 1 = locked.
inline constexpr Register<std::uint8_t> LOCK{0x37};
inline constexpr Register<std::int16_t> PRESENT_POSITION{0x38};
// Supply voltage in 0.1 V; passed on unconverted.
inline constexpr Register<std::uint8_t> PRESENT_VOLTAGE{0x3E};

double position_to_radians(std::int16_t counts);
// Truncates toward zero and saturates; NaN gives 0.
std::int16_t radians_to_position(double radians);
double offset_to_radians(std::uint16_t raw);
// Truncates and saturates the magnitude (NaN gives 0); a set sign bit (also of -0.0) sets
// bit 11.
std::uint16_t radians_to_offset(double radians);
inline bool byte_to_bool(std::uint8_t value) {
    return value != 0;
}
inline std::uint8_t bool_to_byte(bool value) {
    return value ? 1 : 0;
}

// A register value from its one or two little-endian reply bytes, zero-extended. Inline: it
// runs for every servo of every read.
inline std::uint16_t decode_word(std::span<const std::uint8_t> bytes) {
    std::uint16_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value = static_cast<std::uint16_t>(value | (bytes[i] << (8 * i)));
    }
    return value;
}

// Widths other than 1 and 2 bytes fail with Unsupported.
Result<void, ServoBusError> sync_write_register_values(const FeetechProtocolHandler& handler,
                                                       SerialPort& port,
                                                       std::span<const std::uint8_t> ids,
                                                       std::uint8_t address, std::uint8_t width,
                                                       std::span<const std::uint16_t> values);

// Applies `convert` to each value, keeping the order. A group never holds more values than
// its packet can carry, so more than that fail with Unsupported.
template <class To, class Values, class Convert>
Result<GroupValues<To>, ServoBusError> convert_all(const Values& values, Convert convert) {
    if (values.size() > MAX_GROUP_IDS) return fail(CommunicationErrorKind::Unsupported);
    GroupValues<To> out;
    for (auto value : values) out.push_back(convert(value));
    return out;
}

// `convert` on each servo's raw value, one per id in the order of `ids`, decoded as the
// replies arrive.
template <class To, class T, class Convert>
Result<GroupValues<To>, ServoBusError> sync_read_as(const FeetechProtocolHandler& handler,
                                                    SerialPort& port,
                                                    std::span<const std::uint8_t> ids,
                                                    Register<T> reg, Convert convert) {
    // More ids than a group holds never reach a reply: the request cannot be framed.
    GroupValues<To> values;
    KESTRO_TRY(handler.sync_read(port, ids, reg.address, reg.width,
                                 [&](std::span<const std::uint8_t> reply) {
                                     values.push_back(convert(static_cast<T>(decode_word(reply))));
                                 }));
    return values;
}

// One raw value per id, in the order of `ids`.
template <class T>
Result<GroupValues<T>, ServoBusError> sync_read(const FeetechProtocolHandler& handler,
                                                SerialPort& port, std::span<const std::uint8_t> ids,
                                                Register<T> reg) {
    return sync_read_as<T>(handler, port, ids, reg, [](T value) { return value; });
}

template <class T>
Result<void, ServoBusError> sync_write(const FeetechProtocolHandler& handler, SerialPort& port,
                                       std::span<const std::uint8_t> ids, Register<T> reg,
                                       std::type_identity_t<std::span<const T>> values) {
    KESTRO_TRY_ASSIGN(const auto& words,
                      convert_all<std::uint16_t>(
                          values, [](T value) { return static_cast<std::uint16_t>(value); }));
    return sync_write_register_values(handler, port, ids, reg.address, reg.width, words);
}

// `convert` on every value, then a raw write.
template <class T, class Values, class Convert>
Result<void, ServoBusError> sync_write_as(const FeetechProtocolHandler& handler, SerialPort& port,
                                          std::span<const std::uint8_t> ids, Register<T> reg,
                                          const Values& values, Convert convert) {
    KESTRO_TRY_ASSIGN(const auto& raw, convert_all<T>(values, convert));
    return sync_write(handler, port, ids, reg, raw);
}

}  // namespace kestro::servo_bus::feetech_registers
