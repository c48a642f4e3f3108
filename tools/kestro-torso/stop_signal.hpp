// Ctrl-C for the commands that run for a while. While a StopSignals lives, SIGINT and SIGTERM
// only set a flag; the command polls it itself (monitor) or hands the controller a cancel check
// that reads it (home, reboot), and ends cleanly between two steps.
#pragma once

#include <signal.h>

#include "common/cancel.hpp"

namespace kestro::tool {

class StopSignals {
public:
    // Clears the flag and installs the handler. No SA_RESTART: a sleep or a socket wait
    // returns at once when a signal arrives.
    StopSignals();
    // Puts the previous handlers back.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// Whether SIGINT or SIGTERM arrived since the last StopSignals was made.
bool stop_requested();

// A cancel check that asks to stop once stop_requested() is true.
CancelToken stop_token();

}  // namespace kestro::tool
