#include "servo_bus/serial_port/serial_error.hpp"

namespace kestro::servo_bus {

SerialError SerialError::from_errno(int error_number, std::string_view context) {
    IoError os = IoError::from_errno(error_number);
    if (context.empty()) return SerialError(os.kind(), os.message());
    return SerialError(os.kind(), std::string(context) + ": " + os.message());
}

}  // namespace kestro::servo_bus
