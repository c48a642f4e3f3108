// Rendering helpers for the system's message texts, so every layer words lists the same way.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestro::text {

// "[1, 2, 255]": decimal numbers between square brackets, separated by ", ".
std::string bracketed(std::span<const std::uint8_t> values);

}  // namespace kestro::text
