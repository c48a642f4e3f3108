// Serves the simulated neck motors to every party on the simulated CAN bus: a real CAN socket
// (on a vcan interface), and the connections accepted on a unix packet socket, each of which
// is one CAN socket of a client (through the preload library). All of them speak the kernel's
// 16- and 72-byte frame records, one per message. As on a bus, a frame from one party reaches
// every other party, and what the motors answer reaches all of them.
#pragma once

#include <optional>
#include <thread>
#include <vector>

#include "sim/damiao/damiao_bus_model.hpp"
#include "sim/torso/stop_event.hpp"
#include "sim/torso/trace.hpp"
#include "common/unique_fd.hpp"
#include "sim/wire/can_bus_clock.hpp"

namespace kestro::sim::torso {

class NeckBusServer {
public:
    // Starts serving at once; either socket may be absent. `model` and `trace` must outlive
    // the server. With `timing`, the motors answer when a real bus would carry their frames.
    NeckBusServer(DamiaoBusModel& model, Trace& trace, UniqueFd listener, UniqueFd can,
                  std::optional<wire::CanTiming> timing = std::nullopt);
    NeckBusServer(const NeckBusServer&) = delete;
    NeckBusServer& operator=(const NeckBusServer&) = delete;
    // Stops serving and closes every connection.
    ~NeckBusServer();

private:
    struct Party {
        UniqueFd fd;
        bool connection;  // an accepted client, which goes when it hangs up
    };

    void serve();
    void accept_client();
    // Reads one record from party `index`; false once that client has hung up.
    bool receive(std::size_t index);
    void on_record(int from, std::span<const std::uint8_t> record);
    void on_wire_record(int from, std::span<const std::uint8_t> record);
    void send_all(std::span<const std::uint8_t> record, int except);
    // Sleeps for `delay` unless stopped first; false when stopped.
    bool pause(std::chrono::nanoseconds delay) const;

    DamiaoBusModel& model_;
    Trace& trace_;
    UniqueFd listener_;
    std::optional<wire::CanBusClock> wire_;  // only the serving thread touches it
    StopEvent stop_;
    std::vector<Party> parties_;  // only the serving thread touches it once started
    std::thread thread_;
};

}  // namespace kestro::sim::torso
