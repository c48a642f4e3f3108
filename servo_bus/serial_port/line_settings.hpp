// Line settings of the servo bus, applied to an open terminal descriptor.
#pragma once

#include <cstdint>

#include "common/io_error.hpp"
#include "common/result.hpp"

namespace kestro::servo_bus {

inline constexpr std::uint32_t SERVO_BUS_BAUD_RATE = 1'000'000;

// Raw 8N1 at SERVO_BUS_BAUD_RATE, no flow control, modem lines ignored, receiver on. The modem
// control lines (DTR) are left as they are: some adapters reset the bus when DTR toggles.
Result<void, IoError> apply_line_settings(int fd);

}  // namespace kestro::servo_bus
