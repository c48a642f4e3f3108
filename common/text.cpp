#include "common/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kestro::text {
namespace {

// Names for the values that have no digits.
const char* special(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return nullptr;
}

std::string chars(double value, std::chars_format format) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    return std::string(buffer, end);
}

std::string chars(double value, std::chars_format format, int precision) {
    char buffer[400];  // 1e308 in fixed notation plus the decimals still fits
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    return std::string(buffer, end);
}

// "1.5e-05" -> "1.5e-5", "1e+16" -> "1e16".
std::string compact_exponent(const std::string& scientific) {
    auto e = scientific.find('e');
    std::string mantissa = scientific.substr(0, e);
    int exponent = std::atoi(scientific.c_str() + e + 1);
    return mantissa + "e" + std::to_string(exponent);
}

// Integer part and fraction digits (trailing zeros dropped) of `units` / `per_unit`.
std::string decimal(std::int64_t units, std::int64_t per_unit) {
    std::string out = std::to_string(units / per_unit);
    std::int64_t rest = units % per_unit;
    if (rest == 0) return out;
    std::string fraction;
    for (std::int64_t scale = per_unit / 10; scale > 0 && rest > 0; scale /= 10) {
        fraction += static_cast<char>('0' + rest / scale);
        rest %= scale;
    }
    return out + "." + fraction;
}

}  // namespace

std::string shortest(double value) {
    if (const char* name = special(value)) return name;
    double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
        return compact_exponent(chars(value, std::chars_format::scientific));
    }
    std::string out = chars(value, std::chars_format::fixed);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

std::string fixed(double value, int decimals) {
    if (const char* name = special(value)) return name;
    return chars(value, std::chars_format::fixed, decimals);
}

std::string signed_fixed(double value, int decimals) {
    std::string out = fixed(value, decimals);
    if (std::isnan(value) || std::signbit(value)) return out;
    return "+" + out;
}

std::string boolean(bool value) { return value ? "true" : "false"; }

std::string quoted(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string duration(std::chrono::nanoseconds value) {
    std::int64_t ns = value.count();
    if (ns >= 1'000'000'000) return decimal(ns, 1'000'000'000) + "s";
    if (ns >= 1'000'000) return decimal(ns, 1'000'000) + "ms";
    if (ns >= 1'000) return decimal(ns, 1'000) + "µs";
    return std::to_string(ns) + "ns";
}

std::string bracketed(std::span<const std::uint8_t> values) {
    return bracketed(values, [](std::uint8_t v) { return std::to_string(v); });
}

std::string joined(std::span<const std::string> items, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += separator;
        out += items[i];
    }
    return out;
}

}  // namespace kestro::text
