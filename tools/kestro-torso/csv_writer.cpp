#include "tools/kestro-torso/csv_writer.hpp"

#include "common/text.hpp"

namespace kestro::tool {

std::string csv_header() {
    std::string out = "time";
    for (std::size_t i = 0; i < JOINT_COUNT; ++i) {
        out += ',';
        out += joint_name(i);
    }
    return out + '\n';
}

std::string csv_row(const Sample& sample) {
    std::string out = text::fixed(sample.time, 6);
    for (const auto& position : sample.positions) {
        out += ',';
        if (position) out += text::shortest(*position);
    }
    return out + '\n';
}

}  // namespace kestro::tool
