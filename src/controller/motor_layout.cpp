#include "src/controller/motor_layout.hpp"

namespace kestro::controller {

std::unordered_map<std::string, std::uint8_t> get_motor_name_id() {
    std::unordered_map<std::string, std::uint8_t> map;
    for (const ServoInfo& servo : SERVOS) map.emplace(servo.name, servo.id);
    return map;
}

std::string servo_name(std::uint8_t id) {
    const ServoInfo* servo = find_servo(id);
    return servo ? std::string(servo->name) : "Unknown(" + std::to_string(id) + ")";
}

}  // namespace kestro::controller
