// Rendering of numbers, lists and durations for the system's message texts. Every layer words
// its messages through these helpers, so a float or a list looks the same wherever it appears.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestro::text {

// Shortest decimal that reads back as the same double, always with a fractional part ("0.0",
// "-6.283185307179586"), in exponent form below 1e-4 and from 1e16 on ("1e-5", "1.5e16");
// "NaN", "inf", "-inf" for the special values.
std::string shortest(double value);

// Exactly `decimals` digits after the point, rounded to nearest ("0.5000" for 4).
std::string fixed(double value, int decimals);

// As `fixed`, with an explicit sign: "+0.0012", "-0.3100"; a negative zero keeps its "-".
std::string signed_fixed(double value, int decimals);

// "true" or "false".
std::string boolean(bool value);

// A double-quoted text with `"` and `\` escaped: "nose_top".
std::string quoted(std::string_view value);

// A duration in the largest of s, ms, µs, ns in which it is at least 1, without trailing
// zeros: "30s", "1.5s", "250ms", "0ns".
std::string duration(std::chrono::nanoseconds value);

// "[a, b, c]": each item rendered by `render`, separated by ", ".
template <class Range, class Render>
std::string bracketed(const Range& items, Render render) {
    std::string out = "[";
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += ", ";
        first = false;
        out += render(item);
    }
    out += ']';
    return out;
}

// The items one after the other with `separator` between them: "overheat, overload".
std::string joined(std::span<const std::string> items, std::string_view separator = ", ");

// "[1, 2, 255]": decimal numbers.
std::string bracketed(std::span<const std::uint8_t> values);

}  // namespace kestro::text
