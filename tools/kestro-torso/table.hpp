// An aligned text table for the tool's human-readable output: a header row, then rows of
// cells; each column is as wide as its widest cell. Numbers are right-aligned.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestro::tool {

class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    // One line per row, each ending in '\n'; columns two spaces apart.
    std::string render() const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

// `value` with `decimals` digits and an explicit sign, or "-" when absent.
std::string cell(const std::optional<double>& value, int decimals);

}  // namespace kestro::tool
