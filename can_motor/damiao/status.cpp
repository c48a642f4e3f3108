#include "can_motor/damiao/status.hpp"

namespace kestro::can_motor::damiao {

std::string status_name(std::uint8_t status) {
    switch (status) {
        case motor_status::DISABLED: return "disabled";
        case motor_status::ENABLED: return "enabled";
        case motor_status::OVER_VOLTAGE: return "over_voltage";
        case motor_status::UNDER_VOLTAGE: return "under_voltage";
        case motor_status::OVER_CURRENT: return "over_current";
        case motor_status::DRIVER_OVER_TEMPERATURE: return "driver_over_temperature";
        case motor_status::MOTOR_OVER_TEMPERATURE: return "motor_over_temperature";
        case motor_status::COMMUNICATION_LOST: return "communication_lost";
        case motor_status::OVERLOAD: return "overload";
        default: return "unknown_" + std::to_string(status);
    }
}

}  // namespace kestro::can_motor::damiao
