// For --trace: a pseudo-terminal of its own, given to the code under test in place of the
// servo bus's, whose traffic is relayed to and from the bus and logged on the way. The bus
// itself serves its terminal without a look-in, and a relay keeps it that way.
#pragma once

#include <string>
#include <thread>

#include "sim/torso/stop_event.hpp"
#include "sim/torso/trace.hpp"
#include "common/unique_fd.hpp"

namespace kestro::sim::torso {

class SerialTraceRelay {
public:
    // Relays between a new pseudo-terminal and `device`, the bus's serial device. Throws
    // std::runtime_error when a terminal cannot be set up.
    SerialTraceRelay(const std::string& device, Trace& trace);
    SerialTraceRelay(const SerialTraceRelay&) = delete;
    SerialTraceRelay& operator=(const SerialTraceRelay&) = delete;
    ~SerialTraceRelay();

    // The device for the code under test.
    const std::string& device() const { return device_; }

private:
    void relay();
    // Moves what `from` has to `to`, logging it; false when `from` failed for good.
    bool pass(int from, int to, Direction direction);

    Trace& trace_;
    UniqueFd master_;  // ours: the code under test has the other side
    UniqueFd slave_;   // held open, so the master never sees a hang-up between clients
    UniqueFd bus_;     // the bus's device, opened as its client
    StopEvent stop_;
    std::string device_;
    std::thread thread_;
};

}  // namespace kestro::sim::torso
