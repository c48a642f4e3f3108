// A small streaming JSON writer for the tool's --json output: objects, arrays, numbers,
// booleans, null and correctly escaped strings. Commas are placed by the writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::tool {

// `text` as a JSON string literal: quotes, backslashes and control characters escaped.
std::string json_quote(std::string_view text);

// A double in its shortest round-trip form; "null" when it is not finite (JSON has no NaN).
std::string json_number(double value);
// A float in the shortest form that reads back as the same float.
std::string json_number(float value);

class JsonWriter {
public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);

    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(double number);
    JsonWriter& value(float number);
    JsonWriter& value(std::int64_t number);
    JsonWriter& value(std::uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<std::int64_t>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<std::uint64_t>(number)); }
    JsonWriter& value(bool flag);
    JsonWriter& null();
    template <class T>
    JsonWriter& value(const std::optional<T>& maybe) {
        return maybe ? value(*maybe) : null();
    }

    const std::string& text() const { return out_; }

private:
    void before_value();
    JsonWriter& raw(std::string_view token);

    std::string out_;
    // One entry per open container: whether it still has no member.
    std::vector<bool> empty_;
    bool after_key_ = false;
};

}  // namespace kestro::tool
