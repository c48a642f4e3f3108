// The monitor's CSV: a header naming the joints, then one row per sample (seconds, then the
// ten positions in rad; an empty cell where a value is missing).
#pragma once

#include <string>

#include "tools/kestro-torso/samples.hpp"

namespace kestro::tool {

std::string csv_header();
std::string csv_row(const Sample& sample);

}  // namespace kestro::tool
