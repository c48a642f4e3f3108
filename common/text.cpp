#include "common/text.hpp"

namespace kestro::text {

std::string bracketed(std::span<const std::uint8_t> values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(values[i]);
    }
    out += ']';
    return out;
}

}  // namespace kestro::text
