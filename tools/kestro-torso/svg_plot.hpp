// The monitor's plot: a self-contained SVG with three stacked panels (arms, nose, neck), one
// labelled polyline per joint with one point per sample that has a value, and time and radian
// axes with ticks.
#pragma once

#include <string>
#include <vector>

#include "tools/kestro-torso/samples.hpp"

namespace kestro::tool {

std::string svg_plot(const std::vector<Sample>& samples);

// About `count` round tick values (1, 2 or 5 times a power of ten apart) covering [lo, hi].
std::vector<double> nice_ticks(double lo, double hi, int count);

}  // namespace kestro::tool
