// Carries out a control command on the running simulator.
#pragma once

#include <string>

#include "sim/torso/commands.hpp"
#include "sim/torso/simulated_torso.hpp"

namespace kestro::sim::torso {

// The answer line: "ok", "ok <values>" or "error: <why>".
std::string run(const command::Command& command, SimulatedTorso& torso);

}  // namespace kestro::sim::torso
