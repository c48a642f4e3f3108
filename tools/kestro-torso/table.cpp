#include "tools/kestro-torso/table.hpp"

#include <algorithm>
#include <cctype>

#include "common/text.hpp"

namespace kestro::tool {
namespace {

bool numeric(const std::string& text) {
    return !text.empty() && (std::isdigit(static_cast<unsigned char>(text.back())) != 0) &&
           text.find_first_not_of("+-0123456789.e") == std::string::npos;
}

// Counts UTF-8 characters, not bytes, so that "N·m" lines up.
std::size_t width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

std::string Table::render() const {
    std::vector<std::size_t> widths(header_.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], width(row[i]));
        }
    };
    measure(header_);
    for (const auto& row : rows_) measure(row);

    auto line = [&](const std::vector<std::string>& row) {
        std::string out;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string text = i < row.size() ? row[i] : "";
            const std::string pad(widths[i] - width(text), ' ');
            if (i > 0) out += "  ";
            out += numeric(text) ? pad + text : text + (i + 1 < widths.size() ? pad : "");
        }
        return out + '\n';
    };
    std::string out = line(header_);
    for (const auto& row : rows_) out += line(row);
    return out;
}

std::string cell(const std::optional<double>& value, int decimals) {
    return value ? text::signed_fixed(*value, decimals) : "-";
}

}  // namespace kestro::tool
