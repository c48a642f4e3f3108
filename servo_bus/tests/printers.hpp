// Readable failure messages for the servo bus's error values.
#pragma once

#include <ostream>

#include "common/io_error.hpp"
#include "servo_bus/feetech_protocol/error.hpp"

namespace kestro {

inline void PrintTo(const IoError& error, std::ostream* out) { *out << error.message(); }

namespace servo_bus {

inline void PrintTo(const ServoBusError& error, std::ostream* out) { *out << error.to_string(); }
inline void PrintTo(const CommunicationErrorKind& kind, std::ostream* out) {
    *out << kind.debug_string();
}

}  // namespace servo_bus
}  // namespace kestro
