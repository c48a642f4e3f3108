#include "src/controller/motor_layout.hpp"

namespace kestro::controller {

std::unordered_map<std::string, std::uint8_t> get_motor_name_id() {
    std::unordered_map<std::string, std::uint8_t> map;
    for (const ServoInfo& servo : SERVOS) map.emplace(servo.name, servo.id);
    return map;
}

std::unordered_map<std::uint8_t, std::string> get_motor_id_name() {
    std::unordered_map<std::uint8_t, std::string> map;
    for (const auto& [name, id] : get_motor_name_id()) map.emplace(id, name);
    return map;
}

}  // namespace kestro::controller
