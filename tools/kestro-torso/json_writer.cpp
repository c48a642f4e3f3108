#include "tools/kestro-torso/json_writer.hpp"

#include <charconv>
#include <cmath>

#include "common/text.hpp"

namespace kestro::tool {

std::string json_quote(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0xF];
                } else {
                    out += c;  // UTF-8 passes through as is
                }
        }
    }
    out += '"';
    return out;
}

std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    return text::shortest(value);
}

std::string json_number(float value) {
    if (!std::isfinite(value)) return "null";
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error != std::errc()) return "null";
    return std::string(buffer, end);
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!empty_.empty()) {
        if (!empty_.back()) out_ += ", ";
        empty_.back() = false;
    }
}

JsonWriter& JsonWriter::raw(std::string_view token) {
    before_value();
    out_ += token;
    return *this;
}

JsonWriter& JsonWriter::begin_object() {
    raw("{");
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    empty_.pop_back();
    out_ += '}';
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    raw("[");
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    empty_.pop_back();
    out_ += ']';
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    before_value();
    out_ += json_quote(name);
    out_ += ": ";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) { return raw(json_quote(text)); }
JsonWriter& JsonWriter::value(double number) { return raw(json_number(number)); }
JsonWriter& JsonWriter::value(float number) { return raw(json_number(number)); }
JsonWriter& JsonWriter::value(std::int64_t number) { return raw(std::to_string(number)); }
JsonWriter& JsonWriter::value(std::uint64_t number) { return raw(std::to_string(number)); }
JsonWriter& JsonWriter::value(bool flag) { return raw(flag ? "true" : "false"); }
JsonWriter& JsonWriter::null() { return raw("null"); }

}  // namespace kestro::tool
