#include "tools/kestro-torso/options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kestro::tool {

Result<GlobalOptions, std::string> parse_global(const std::vector<std::string>& argv) {
    GlobalOptions options;
    std::size_t i = 0;
    for (; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg.empty() || arg[0] != '-') break;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--no-serial") {
            options.use_serial = false;
        } else if (arg == "--no-can") {
            options.use_can = false;
        } else if (arg == "--serial" || arg == "--can") {
            if (i + 1 >= argv.size() || argv[i + 1].empty()) {
                return fail(arg + " needs a value");
            }
            (arg == "--serial" ? options.serial : options.can) = argv[++i];
        } else if (arg.starts_with("--serial=")) {
            options.serial = arg.substr(9);
        } else if (arg.starts_with("--can=")) {
            options.can = arg.substr(6);
        } else {
            return fail("unknown option " + arg);
        }
    }
    if (!options.use_serial && !options.use_can) return fail("--no-serial and --no-can leave no bus");
    if (i < argv.size()) {
        options.command = argv[i];
        options.args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
    }
    return options;
}

std::optional<std::string> CommandArgs::value(const std::string& option) const {
    auto found = values.find(option);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

Result<CommandArgs, std::string> parse_command(const std::vector<std::string>& args,
                                               const std::set<std::string>& flags,
                                               const std::set<std::string>& valued) {
    CommandArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (!arg.starts_with("--")) {
            parsed.operands.push_back(arg);
            continue;
        }
        std::optional<std::string> inline_value;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            inline_value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--help" || flags.contains(arg)) {
            if (inline_value) return fail(arg + " takes no value");
            parsed.flags.insert(arg);
        } else if (valued.contains(arg)) {
            if (!inline_value) {
                if (i + 1 >= args.size()) return fail(arg + " needs a value");
                inline_value = args[++i];
            }
            parsed.values[arg] = *inline_value;
        } else {
            return fail("unknown option " + arg);
        }
    }
    return parsed;
}

Result<double, std::string> parse_positive(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value) ||
        !(value > 0)) {
        return fail(what + " must be a positive number, got '" + text + "'");
    }
    return value;
}

Result<unsigned long, std::string> parse_count(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || text[0] == '+' || end != text.c_str() + text.size() ||
        errno != 0) {
        return fail(what + " must be a whole number, got '" + text + "'");
    }
    return value;
}

}  // namespace kestro::tool
