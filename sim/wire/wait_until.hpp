// Waiting for a modelled wire time. The kernel wakes a sleeper tens of microseconds late, as
// much as a byte takes on the serial line, so the last stretch is spun instead.
#pragma once

#include <chrono>

#include "sim/wire/serial_line.hpp"

namespace kestro::sim::wire {

// Returns at `deadline`, or false as soon as `stop_fd` (an eventfd or a pipe; -1 for none)
// becomes readable.
bool wait_until(Clock::time_point deadline, int stop_fd = -1);

}  // namespace kestro::sim::wire
