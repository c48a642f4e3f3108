#include "servo_bus/servo/feetech/registers.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace kestro::servo_bus::feetech_registers {
namespace {

constexpr double PI = std::numbers::pi;
constexpr double COUNTS_PER_TURN = 4096.0;
constexpr double ONE_COUNT_OF_A_TURN = 0.000244140625;  // 1 / 4096
constexpr std::uint16_t OFFSET_MAGNITUDE_MASK = 0x7FF;
constexpr std::uint16_t OFFSET_SIGN_BIT = 0x800;
// Negative only with bit 11 set and bits 12-15 clear.
constexpr std::uint16_t OFFSET_SIGN_FIELD = 0xF800;
constexpr double OFFSET_COUNTS_PER_HALF_TURN = 2047.0;

// Group writes move 16-bit words; the bytes of a whole group's words fit one buffer.
constexpr std::size_t WORD_BYTES = sizeof(std::uint16_t);
using GroupBytes = InlineVector<std::uint8_t, MAX_GROUP_IDS * WORD_BYTES>;

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

Result<void, ServoBusError> sync_write_register_values(const FeetechProtocolHandler& handler,
                                                       SerialPort& port,
                                                       std::span<const std::uint8_t> ids,
                                                       std::uint8_t address, std::uint8_t width,
                                                       std::span<const std::uint16_t> values) {
    if (width == 0 || width > WORD_BYTES || values.size() > MAX_GROUP_IDS) {
        return fail(CommunicationErrorKind::Unsupported);
    }
    GroupBytes data;
    for (std::uint16_t value : values) {
        for (std::size_t i = 0; i < width; ++i) data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return handler.sync_write(port, ids, address, width, data);
}

}  // namespace kestro::servo_bus::feetech_registers
