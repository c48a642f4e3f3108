// The monitor's CSV: a header naming the joints, then one row per sample (seconds, the ten
// positions in rad, each joint's faults joined by ';', each neck motor's driver and coil
// temperature in °C; an empty cell where a value is missing or there is no fault).
#pragma once

#include <string>

#include "tools/kestro-torso/samples.hpp"

namespace kestro::tool {

std::string csv_header();
std::string csv_row(const Sample& sample);

}  // namespace kestro::tool
