// The tool's commands. Each parses its own arguments (usage errors before any bus is opened),
// then opens the torso, and gives the process exit status.
#pragma once

#include <string>
#include <vector>

#include "tools/kestro-torso/options.hpp"
#include "tools/kestro-torso/session.hpp"

namespace kestro::tool {

using Args = std::vector<std::string>;

int run_scan(const GlobalOptions& options, const Output& output);
int run_regs(const GlobalOptions& options, const Output& output);
int run_monitor(const GlobalOptions& options, const Output& output);
int run_torque(const GlobalOptions& options, const Output& output);
int run_home(const GlobalOptions& options, const Output& output);
int run_reboot(const GlobalOptions& options, const Output& output);
int run_clear_faults(const GlobalOptions& options, const Output& output);

}  // namespace kestro::tool
