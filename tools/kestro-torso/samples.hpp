// A monitor sample: seconds since the monitor started and the ten joint positions (rad) in
// layout order, seven servos then three neck joints; a value is absent when its read failed
// or its bus is left out. With them, what each device reported of itself in those reads: its
// faults, and a neck motor's temperatures.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "src/controller/motor_layout.hpp"

namespace kestro::tool {

inline constexpr std::size_t JOINT_COUNT = 10;
inline constexpr std::size_t NECK_COUNT = controller::NECK_JOINT_NAMES.size();

struct Temperatures {
    unsigned driver;  // °C
    unsigned motor;
};

struct Sample {
    double time;
    std::array<std::optional<double>, JOINT_COUNT> positions;
    // Fault names joined by ';', empty for none.
    std::array<std::string, JOINT_COUNT> faults{};
    std::array<std::optional<Temperatures>, NECK_COUNT> neck_temperatures{};
};

inline constexpr std::string_view joint_name(std::size_t index) {
    return index < controller::SERVOS.size()
               ? controller::SERVOS[index].name
               : controller::NECK_JOINT_NAMES[index - controller::SERVOS.size()];
}

}  // namespace kestro::tool
