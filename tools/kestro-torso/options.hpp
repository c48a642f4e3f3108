// Command-line parsing: the global options before the command, and a command's own options
// and operands after it. Parsing touches no bus; every problem is a usage error (exit 2).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace kestro::tool {

enum Exit : int { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

struct GlobalOptions {
    std::string serial = "/dev/ttyUSB0";
    std::string can = "can0";
    bool use_serial = true;
    bool use_can = true;
    bool help = false;
    std::string command;  // empty when none was given
    std::vector<std::string> args;  // everything after the command
};

Result<GlobalOptions, std::string> parse_global(const std::vector<std::string>& argv);

// A command's arguments: flags (no value), options with one value, and operands in order.
struct CommandArgs {
    std::set<std::string> flags;
    std::map<std::string, std::string> values;
    std::vector<std::string> operands;

    bool has(const std::string& flag) const { return flags.contains(flag); }
    std::optional<std::string> value(const std::string& option) const;
};

// `flags` and `valued` name the accepted options ("--json", "--rate"); "--help" is always
// accepted. An option may also be given as "--rate=50".
Result<CommandArgs, std::string> parse_command(const std::vector<std::string>& args,
                                               const std::set<std::string>& flags,
                                               const std::set<std::string>& valued);

// Whole-text numbers; a usage error names the option.
Result<double, std::string> parse_positive(const std::string& text, const std::string& what);
Result<unsigned long, std::string> parse_count(const std::string& text, const std::string& what);

}  // namespace kestro::tool
