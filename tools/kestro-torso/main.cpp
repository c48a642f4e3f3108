// kestro-torso: bring-up and diagnostics of the torso from the command line, without Python.
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "tools/kestro-torso/commands.hpp"

namespace {

using namespace kestro::tool;

constexpr std::string_view HELP =
    "usage: kestro-torso [global options] COMMAND [options]\n"
    "Global options:\n"
    "  --serial PATH   servo bus serial device (default /dev/ttyUSB0)\n"
    "  --can IFACE     neck CAN interface (default can0)\n"
    "  --no-serial     leave the servo bus out\n"
    "  --no-can        leave the neck out\n"
    "  --help          this text; every command also takes --help\n"
    "Commands:\n"
    "  scan [--json]                              who answers, and what each reports\n"
    "  regs servo ID [--json]                     a servo's registers\n"
    "  regs neck JOINT [--json]                   a neck motor's registers\n"
    "  monitor [--rate HZ] [--count N] [--csv FILE] [--svg FILE]\n"
    "                                             all ten joint positions over time\n"
    "  torque on|off [all|arms|nose|neck]         switch torque\n"
    "  home neck [--speed S] [--tolerance T]      home the neck to its nearest zero\n"
    "  home arms [--yes]                          make the arms' pose their zero (EEPROM)\n"
    "  reboot                                     reboot the servos and wait for them\n"
    "  clear-faults [yaw|pitch|roll]              clear the neck motors' faults (enables nothing)\n"
    "Exit status: 0 all answered, 1 something did not answer or failed, 2 usage or bus error.\n";

// The tool's results go to a copy of standard output; descriptor 1 itself is pointed at
// standard error, so that the servo layer's checksum diagnostic line cannot spoil a --json
// object or a CSV piped from standard output.
Output take_standard_output() {
    const int own = ::dup(STDOUT_FILENO);
    std::FILE* out = own >= 0 ? ::fdopen(own, "w") : nullptr;
    if (out == nullptr) return Output{stdout, ::isatty(STDOUT_FILENO) == 1};
    std::fflush(stdout);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return Output{out, ::isatty(own) == 1};
}

}  // namespace

int main(int argc, char** argv) {
    const Output output = take_standard_output();
    auto options = parse_global(Args(argv + 1, argv + argc));
    if (!options) return usage_error("", options.error());
    if (options->command.empty()) {
        if (options->help) {
            emit(output, HELP);
            return EXIT_OK;
        }
        return usage_error("", "no command given");
    }
    if (options->help) {
        // "kestro-torso --help scan" reads as "kestro-torso scan --help".
        options->args.insert(options->args.begin(), "--help");
    }
    const std::string& command = options->command;
    if (command == "scan") return run_scan(*options, output);
    if (command == "regs") return run_regs(*options, output);
    if (command == "monitor") return run_monitor(*options, output);
    if (command == "torque") return run_torque(*options, output);
    if (command == "home") return run_home(*options, output);
    if (command == "reboot") return run_reboot(*options, output);
    if (command == "clear-faults") return run_clear_faults(*options, output);
    return usage_error("", "unknown command " + command);
}
