#include "tools/kestro-torso/csv_writer.hpp"

#include "common/text.hpp"

namespace kestro::tool {

std::string csv_header() {
    std::string out = "time";
    for (std::size_t i = 0; i < JOINT_COUNT; ++i) out += "," + std::string(joint_name(i));
    for (std::size_t i = 0; i < JOINT_COUNT; ++i) out += "," + std::string(joint_name(i)) + "_faults";
    for (std::string_view neck : controller::NECK_JOINT_NAMES) {
        out += "," + std::string(neck) + "_temp_driver," + std::string(neck) + "_temp_motor";
    }
    return out + '\n';
}

std::string csv_row(const Sample& sample) {
    std::string out = text::fixed(sample.time, 6);
    for (const auto& position : sample.positions) {
        out += ',';
        if (position) out += text::shortest(*position);
    }
    for (const std::string& faults : sample.faults) out += "," + faults;
    for (const auto& temperatures : sample.neck_temperatures) {
        if (!temperatures) {
            out += ",,";
            continue;
        }
        out += "," + std::to_string(temperatures->driver) + "," + std::to_string(temperatures->motor);
    }
    return out + '\n';
}

}  // namespace kestro::tool
