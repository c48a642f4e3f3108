// Low-latency mode of a USB serial adapter. Many adapters (FTDI's, for one) hold received
// bytes for a latency timer of 16 ms by default, longer than the bus's 10 ms read time-out, so
// every reply could time out on them; low-latency mode asks the driver to pass bytes on at once.
#pragma once

#include "common/io_error.hpp"
#include "common/result.hpp"

namespace kestro::servo_bus {

// Sets ASYNC_LOW_LATENCY on the terminal `fd`. A driver or pseudo-terminal that does not
// support the request is not an error: there is nothing to lower.
Result<void, IoError> request_low_latency(int fd);

}  // namespace kestro::servo_bus
