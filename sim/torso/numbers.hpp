// Whole-word number parsing for the command line and the control commands: a word with
// anything besides the number in it is refused rather than half read.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace kestro::sim::torso {

template <class T>
std::optional<T> parse_number(std::string_view word) {
    T value{};
    const char* end = word.data() + word.size();
    const auto [stop, error] = std::from_chars(word.data(), end, value);
    if (word.empty() || error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

}  // namespace kestro::sim::torso
