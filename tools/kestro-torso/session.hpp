// What every command shares: where its output goes, how errors are reported, and the torso
// opened on the buses the global options ask for.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "src/controller/diagnostics.hpp"
#include "tools/kestro-torso/options.hpp"

namespace kestro::tool {

struct Output {
    std::FILE* out;  // the tool's own results
    bool terminal;   // whether `out` is a terminal
};

// One line on standard error: "kestro-torso: <text>".
void report_error(std::string_view text);
// A usage error: one line naming the command's --help; gives EXIT_USAGE.
int usage_error(std::string_view command, std::string_view text);

// Opens the buses the options ask for. A bus that cannot be opened is reported (one line) and
// gives nothing; the caller exits with EXIT_USAGE.
std::optional<controller::DiagnosticTorso> open_torso(const GlobalOptions& options);

// The index of the neck joint a person names "yaw" or "neck_yaw" (pitch, roll likewise).
std::optional<std::size_t> neck_joint_index(const std::string& name);

// Writes `text` and flushes, so that progress shows at once.
void emit(const Output& output, std::string_view text);

// A command's own arguments (parse_command), or its exit status when they leave nothing more
// to do: EXIT_OK once `help` is printed for --help, EXIT_USAGE after a usage error.
Result<CommandArgs, int> command_args(const GlobalOptions& options, const Output& output,
                                      std::string_view command, std::string_view help,
                                      const std::set<std::string>& flags,
                                      const std::set<std::string>& valued);

}  // namespace kestro::tool
