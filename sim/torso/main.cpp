// kestro-torso-sim: the whole torso, simulated, for running robot code without the robot.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "sim/torso/options.hpp"
#include "sim/torso/session.hpp"
#include "sim/torso/simulated_torso.hpp"

using namespace kestro::sim::torso;

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto options = parse_options(args);
    if (!options) {
        std::fprintf(stderr, "kestro-torso-sim: %s\n%.*s", options.error().c_str(),
                     static_cast<int>(usage().size()), usage().data());
        return 2;
    }
    if (options->help) {
        std::fwrite(usage().data(), 1, usage().size(), stdout);
        return 0;
    }
    // A reader of the answers that has gone must not end the simulator before it cleans up.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const sigset_t stop_signals = block_stop_signals();
        Trace trace(options->trace);
        SimulatedTorso torso(*options, trace);
        std::printf("ready serial=%s\n", torso.serial_device().c_str());
        std::fflush(stdout);
        run_session(torso, stop_signals);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestro-torso-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
