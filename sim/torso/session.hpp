// The simulator's foreground: control commands from standard input, answered on standard
// output, until "quit", SIGINT or SIGTERM. The end of standard input only ends the commands:
// the simulator then runs on until a signal, so it can serve from the background.
#pragma once

#include <signal.h>

#include "sim/torso/simulated_torso.hpp"

namespace kestro::sim::torso {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts later, so that
// run_session takes them synchronously; gives the set for run_session.
sigset_t block_stop_signals();

void run_session(SimulatedTorso& torso, const sigset_t& stop_signals);

}  // namespace kestro::sim::torso
