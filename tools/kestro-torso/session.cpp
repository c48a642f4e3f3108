#include "tools/kestro-torso/session.hpp"

namespace kestro::tool {

void report_error(std::string_view text) {
    std::string line = "kestro-torso: ";
    line += text;
    // Keep it one line whatever the lower layers' texts hold.
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

int usage_error(std::string_view command, std::string_view text) {
    std::string line(text);
    line += " (see kestro-torso ";
    if (!command.empty()) {
        line += command;
        line += ' ';
    }
    line += "--help)";
    report_error(line);
    return EXIT_USAGE;
}

std::optional<controller::DiagnosticTorso> open_torso(const GlobalOptions& options) {
    auto opened = controller::DiagnosticTorso::open(
        options.use_serial ? std::optional(options.serial) : std::nullopt,
        options.use_can ? std::optional(options.can) : std::nullopt);
    if (!opened) {
        report_error(opened.error().message());
        return std::nullopt;
    }
    return std::move(*opened);
}

void emit(const Output& output, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), output.out);
    std::fflush(output.out);
}

Result<CommandArgs, int> command_args(const GlobalOptions& options, const Output& output,
                                      std::string_view command, std::string_view help,
                                      const std::set<std::string>& flags,
                                      const std::set<std::string>& valued) {
    auto args = parse_command(options.args, flags, valued);
    if (!args) return fail(usage_error(command, args.error()));
    if (args->has("--help")) {
        emit(output, help);
        return fail(static_cast<int>(EXIT_OK));
    }
    return std::move(*args);
}

std::optional<std::size_t> neck_joint_index(const std::string& name) {
    for (std::size_t i = 0; i < controller::NECK_JOINT_NAMES.size(); ++i) {
        const std::string_view full = controller::NECK_JOINT_NAMES[i];
        if (name == full || "neck_" + name == full) return i;
    }
    return std::nullopt;
}

}  // namespace kestro::tool
