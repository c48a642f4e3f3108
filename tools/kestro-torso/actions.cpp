// The commands that change the torso: torque, home, reboot and clear-faults. Each does only what it is
// asked; none of them runs without its command.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "can_motor/damiao/status.hpp"
#include "common/text.hpp"
#include "tools/kestro-torso/commands.hpp"
#include "tools/kestro-torso/stop_signal.hpp"

namespace kestro::tool {
namespace {

using namespace std::chrono_literals;

constexpr double TWO_PI = 2 * std::numbers::pi;

constexpr std::string_view TORQUE_HELP =
    "usage: kestro-torso [global options] torque on|off [all|arms|nose|neck]\n"
    "Switches torque on the chosen group (default all: servos and neck, on the buses in use).\n"
    "Servos switched on hold where they stand: their goal is set to their present position first.\n";
constexpr std::string_view CLEAR_FAULTS_HELP =
    "usage: kestro-torso [global options] clear-faults [yaw|pitch|roll]\n"
    "Clears the fault each neck motor (or the one named) reports and prints its state after.\n"
    "Enables nothing: switch the neck on again with 'kestro-torso torque on neck'.\n";
constexpr std::string_view HOME_HELP =
    "usage: kestro-torso [global options] home neck [--speed S] [--tolerance T]\n"
    "       kestro-torso [global options] home arms [--yes]\n"
    "home neck   ramps each neck joint to its nearest physical zero and holds it there,\n"
    "            showing the positions every half second; Ctrl-C stops it where it is\n"
    "  --speed S       ramp speed in rad/s (default 0.4)\n"
    "  --tolerance T   how close each joint must settle, rad (default 0.15)\n"
    "home arms   makes the arms' present pose their zero, rewriting the servos' EEPROM\n"
    "  --yes           do not ask for confirmation (needed without a terminal)\n";
constexpr std::string_view REBOOT_HELP =
    "usage: kestro-torso [global options] reboot\n"
    "Reboots the seven servos and waits up to 1 s for each to answer again; Ctrl-C ends the wait.\n";

std::string radians(std::span<const double> values) {
    return text::bracketed(values, [](double v) { return text::signed_fixed(v, 4); });
}

int failed(const std::string& text) {
    report_error(text);
    return EXIT_FAILED;
}

// A run that Ctrl-C (or SIGTERM) stopped: one line, and the exit status of a failure, since
// the command did not finish. The controller sends nothing after the request.
int interrupted(std::string_view command, std::string_view held) {
    report_error(std::string(command) + " interrupted; " + std::string(held));
    return EXIT_FAILED;
}

// Progress lines of home neck: the first exchange, then one every half second.
constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(500);

int home_neck(const GlobalOptions& options, const Output& output, const CommandArgs& args) {
    double speed = 0.4;
    double tolerance = 0.15;
    if (auto text = args.value("--speed")) {
        auto parsed = parse_positive(*text, "--speed");
        if (!parsed) return usage_error("home", parsed.error());
        speed = *parsed;
    }
    if (auto text = args.value("--tolerance")) {
        auto parsed = parse_positive(*text, "--tolerance");
        if (!parsed) return usage_error("home", parsed.error());
        tolerance = *parsed;
    }
    if (args.has("--yes")) return usage_error("home", "--yes belongs to home arms");
    if (!options.use_can) return usage_error("home", "home neck needs the CAN bus");
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;
    auto& controller = torso->controller();

    auto start = controller.read_neck_positions();
    if (!start) return failed(start.error().message());
    // Shown before the run: where each joint is headed (the nearest whole turn) and how long
    // the ramp alone takes.
    std::array<double, 3> goals{};
    double distance = 0;
    for (std::size_t i = 0; i < goals.size(); ++i) {
        goals[i] = std::round((*start)[i] / TWO_PI) * TWO_PI + 0.0;  // no "-0.0000"
        distance = std::max(distance, std::fabs((*start)[i] - goals[i]));
    }
    emit(output, "neck at " + radians(*start) + " rad; homing at " + text::shortest(speed) +
                     " rad/s to within " + text::shortest(tolerance) + " rad\n");
    emit(output, "goals " + radians(goals) + " rad; the ramp takes about " +
                     text::fixed(distance / speed, 1) + " s, then the joints settle\n");
    const auto began = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> shown;
    auto progress = [&](std::span<const double, 3> observed, std::span<const double, 3> at) {
        const auto now = std::chrono::steady_clock::now();
        if (shown && now - *shown < PROGRESS_INTERVAL) return;
        shown = now;
        double off = 0;
        for (std::size_t i = 0; i < observed.size(); ++i) {
            off = std::max(off, std::fabs(observed[i] - at[i]));
        }
        emit(output, text::fixed(std::chrono::duration<double>(now - began).count(), 2) +
                         " s: neck at " + radians(observed) + " rad, at most " +
                         text::fixed(off, 4) + " rad from the goals\n");
    };
    StopSignals signals;
    auto settled = controller.neck_home(speed, tolerance, std::nullopt, std::nullopt,
                                        stop_token(), progress);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // A signal during a reply wait ends that wait with a transport error; either way the
    // request came before any further step.
    if (!settled && (settled.error().is_interrupted() || stop_requested())) {
        return interrupted("home neck", "the neck motors hold their last command (torque stays on)");
    }
    if (!settled) return failed(settled.error().message());
    emit(output, "settled after " + text::fixed(took, 2) + " s at " + radians(*settled) +
                     " rad (torque stays on)\n");
    return EXIT_OK;
}

int home_arms(const GlobalOptions& options, const Output& output, const CommandArgs& args) {
    if (args.value("--speed") || args.value("--tolerance")) {
        return usage_error("home", "--speed and --tolerance belong to home neck");
    }
    if (!options.use_serial) return usage_error("home", "home arms needs the serial bus");
    if (!args.has("--yes")) {
        if (::isatty(STDIN_FILENO) != 1) {
            return usage_error("home", "home arms rewrites servo EEPROM; without a terminal give --yes");
        }
        std::fprintf(stderr,
                     "This makes the arms' present pose their zero and rewrites the offsets in "
                     "the arm servos' EEPROM. Continue? [y/N] ");
        std::fflush(stderr);
        char answer[16] = {};
        if (std::fgets(answer, sizeof answer, stdin) == nullptr ||
            (answer[0] != 'y' && answer[0] != 'Y')) {
            report_error("home arms: not confirmed; nothing changed");
            return EXIT_FAILED;
        }
    }
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;
    emit(output, "arms: rewriting position offsets (torque goes off)\n");
    StopSignals signals;
    auto positions = torso->controller().set_arm_home(0.05, stop_token());
    // Stopped before the offsets were written (once begun, the writes always finish).
    if (!positions && positions.error().is_interrupted()) {
        return interrupted("home arms", "the servos hold their last command; the offsets are unchanged");
    }
    if (!positions) return failed(positions.error().message());
    emit(output, "arms now read " + radians(*positions) + " rad (torque off)\n");
    return EXIT_OK;
}

}  // namespace

int run_torque(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "torque", TORQUE_HELP, {}, {});
    if (!args) return args.error();
    const auto& operands = args->operands;
    if (operands.empty() || operands.size() > 2 || (operands[0] != "on" && operands[0] != "off")) {
        return usage_error("torque", "expected on or off, then all, arms, nose or neck");
    }
    const bool enable = operands[0] == "on";
    const std::string group = operands.size() == 2 ? operands[1] : "all";
    if (group != "all" && group != "arms" && group != "nose" && group != "neck") {
        return usage_error("torque", "group must be all, arms, nose or neck, got '" + group + "'");
    }
    const bool servos = group != "neck" && options.use_serial;
    const bool neck = (group == "all" || group == "neck") && options.use_can;
    if (group == "neck" && !options.use_can) return usage_error("torque", "the neck needs the CAN bus");
    if ((group == "arms" || group == "nose") && !options.use_serial) {
        return usage_error("torque", group + " need the serial bus");
    }
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;
    auto& controller = torso->controller();

    std::vector<std::string> done;
    if (servos) {
        auto switched = group == "arms"   ? controller.set_arm_torque(enable)
                        : group == "nose" ? controller.set_nose_torque(enable)
                                          : controller.set_all_torque(enable);
        if (!switched) return failed(switched.error().message());
        done.push_back(group == "all" ? "servos" : group);
    }
    if (neck) {
        auto switched = controller.enable_neck(enable);
        if (!switched) return failed(switched.error().message());
        done.push_back("neck");
    }
    std::string line = "torque " + operands[0] + ":";
    for (const auto& name : done) line += " " + name;
    emit(output, line + "\n");
    return EXIT_OK;
}

int run_home(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "home", HOME_HELP, {"--yes"}, {"--speed", "--tolerance"});
    if (!args) return args.error();
    const auto& operands = args->operands;
    if (operands.size() != 1 || (operands[0] != "neck" && operands[0] != "arms")) {
        return usage_error("home", "expected neck or arms");
    }
    return operands[0] == "neck" ? home_neck(options, output, *args)
                                 : home_arms(options, output, *args);
}

int run_reboot(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "reboot", REBOOT_HELP, {}, {});
    if (!args) return args.error();
    if (!args->operands.empty()) return usage_error("reboot", "unexpected argument " + args->operands[0]);
    if (!options.use_serial) return usage_error("reboot", "reboot needs the serial bus");
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;
    emit(output, "rebooting the seven servos\n");
    StopSignals signals;
    auto rebooted = torso->controller().reboot(1s, stop_token());
    if (!rebooted && rebooted.error().is_interrupted()) {
        return interrupted("reboot", "nothing was sent after the reboot; the servos hold their last command");
    }
    if (!rebooted) return failed(rebooted.error().message());
    emit(output, "all seven servos answer again\n");
    return EXIT_OK;
}

int run_clear_faults(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "clear-faults", CLEAR_FAULTS_HELP, {}, {});
    if (!args) return args.error();
    const auto& operands = args->operands;
    if (operands.size() > 1) return usage_error("clear-faults", "unexpected argument " + operands[1]);
    std::optional<std::size_t> joint;
    if (!operands.empty()) {
        joint = neck_joint_index(operands[0]);
        if (!joint) {
            return usage_error("clear-faults", "joint must be yaw, pitch or roll, got '" + operands[0] + "'");
        }
    }
    if (!options.use_can) return usage_error("clear-faults", "clear-faults needs the CAN bus");
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;
    auto cleared = torso->controller().clear_neck_faults(joint);
    if (!cleared) return failed(cleared.error().message());
    std::string lines;
    for (const controller::NeckState& state : *cleared) {
        lines += std::string(controller::NECK_JOINT_NAMES[state.joint]) + ": " +
                 can_motor::damiao::status_name(state.state.status) + " (driver " +
                 std::to_string(state.state.temp_driver) + " °C, motor " +
                 std::to_string(state.state.temp_motor) + " °C)\n";
    }
    emit(output, lines);
    return EXIT_OK;
}

}  // namespace kestro::tool
