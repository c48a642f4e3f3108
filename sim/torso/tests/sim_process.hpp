// Test support: kestro-torso-sim as a child process, as users run it. The test process's own
// preload settings are kept from the child, which must serve, not use, the simulated bus; the
// child is told to stop if the test process dies, so a crashed test leaves no simulator behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::sim::torso::testing {

// The simulated interface's name and the simulator's socket path, from KESTRO_CAN_PRELOAD as
// the test runner sets it for the preload library; empty when unset.
struct PreloadSetting {
    std::string ifname;
    std::string socket_path;
};
PreloadSetting preload_setting();

class SimProcess {
public:
    // Starts the simulator named by KESTRO_TORSO_SIM with `args` and waits up to a few
    // seconds for its ready line.
    explicit SimProcess(const std::vector<std::string>& args);
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess();

    bool ready() const { return !serial_device_.empty(); }
    // The serial device from the ready line.
    const std::string& serial_device() const { return serial_device_; }

    // Sends one control command and gives its answer line, or "no answer".
    std::string command(std::string_view line);

    // Sends SIGTERM and gives the exit status, or -1 when the simulator did not end normally
    // within a few seconds (it is then killed); later calls give the same status again.
    int stop();

private:
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int exit_status_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string received_;
    std::string serial_device_;
};

}  // namespace kestro::sim::torso::testing
