#include "servo_bus/servo/feetech/registers.hpp"

#include <cmath>
#include <limits>

namespace kestro::servo_bus::feetech_registers {
namespace {

constexpr double PI = 3.141592653589793;
constexpr double COUNTS_PER_TURN = 4096.0;
constexpr double ONE_COUNT_OF_A_TURN = 0.000244140625;  // 1 / 4096
constexpr std::uint16_t OFFSET_MAGNITUDE_MASK = 0x7FF;
constexpr std::uint16_t OFFSET_SIGN_BIT = 0x800;
// Negative only with bit 11 set and bits 12-15 clear.
constexpr std::uint16_t OFFSET_SIGN_FIELD = 0xF800;
constexpr double OFFSET_COUNTS_PER_HALF_TURN = 2047.0;

// Truncation toward zero with saturation at the target's range; NaN gives 0.
template <class T>
T saturate_to(double value) {
    if (std::isnan(value)) return 0;
    if (value <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (value >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(value);
}

}  // namespace

double position_to_radians(std::int16_t counts) {
    return static_cast<double>(counts) * 2.0 * PI * ONE_COUNT_OF_A_TURN - PI;
}

std::int16_t radians_to_position(double radians) {
    return saturate_to<std::int16_t>((radians + PI) * COUNTS_PER_TURN / (2.0 * PI));
}

double offset_to_radians(std::uint16_t raw) {
    const double magnitude =
        static_cast<double>(raw & OFFSET_MAGNITUDE_MASK) * PI / OFFSET_COUNTS_PER_HALF_TURN;
    return (raw & OFFSET_SIGN_FIELD) == OFFSET_SIGN_BIT ? -magnitude : magnitude;
}

std::uint16_t radians_to_offset(double radians) {
    auto raw = saturate_to<std::uint16_t>(std::fabs(radians) * OFFSET_COUNTS_PER_HALF_TURN / PI);
    if (std::signbit(radians)) raw |= OFFSET_SIGN_BIT;
    return raw;
}

Result<std::vector<std::uint16_t>, ServoBusError> decode_register_values(
    std::span<const std::vector<std::uint8_t>> replies, std::uint8_t width) {
    std::vector<std::uint16_t> values;
    values.reserve(replies.size());
    for (const auto& reply : replies) {
        if (reply.size() != width) return fail(CommunicationErrorKind::ParsingError);
        std::uint16_t value = 0;
        for (std::size_t i = 0; i < reply.size(); ++i) {
            value = static_cast<std::uint16_t>(value | (reply[i] << (8 * i)));
        }
        values.push_back(value);
    }
    return values;
}

Result<std::vector<std::uint16_t>, ServoBusError> sync_read_register_values(
    const FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
    std::uint8_t address, std::uint8_t width) {
    KESTRO_TRY_ASSIGN(const auto replies, handler.sync_read(port, ids, address, width));
    return decode_register_values(replies, width);
}

Result<void, ServoBusError> sync_write_register_values(const FeetechProtocolHandler& handler,
                                                       SerialPort& port,
                                                       std::span<const std::uint8_t> ids,
                                                       std::uint8_t address, std::uint8_t width,
                                                       std::span<const std::uint16_t> values) {
    std::vector<std::vector<std::uint8_t>> data;
    data.reserve(values.size());
    for (std::uint16_t value : values) {
        std::vector<std::uint8_t> bytes(width);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        data.push_back(std::move(bytes));
    }
    return handler.sync_write(port, ids, address, data);
}

}  // namespace kestro::servo_bus::feetech_registers
