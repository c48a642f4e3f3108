// Serves the simulated neck motors to every party on the simulated CAN bus: a real CAN socket
// (on a vcan interface), and the connections accepted on a unix packet socket, each of which
// is one CAN socket of a client (through the preload library). All of them speak the kernel's
// 16- and 72-byte frame records, one per message. As on a bus, a frame from one party reaches
// every other party, and what the motors answer reaches all of them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
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

    // The interface as the unix socket's clients find it. Down, the bus carries nothing (the
    // CAN socket's parties too) and each connection gets one WAKE_RECORD, so that a client
    // waiting in recv looks at the interface again. Unplugged, every connection is closed, and
    // so is each new one at once; plugged again, new connections work, closed ones stay closed.
    enum class Link { Up, Down, Unplugged };
    static constexpr std::uint8_t WAKE_RECORD = 0;  // a 1-byte record, unlike any frame record
    // Returns once the serving thread has put `link` in place.
    void set_link(Link link);

private:
    struct Party {
        UniqueFd fd;
        bool connection;  // an accepted client, which goes when it hangs up
    };

    void serve();
    // Runs the motors' TIMEOUT watch every TICK_INTERVAL, whatever the bus carries.
    void tick();
    // Puts the link last asked for by set_link in place (serving thread).
    void apply_link();
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
    Link link_ = Link::Up;        // only the serving thread touches it
    UniqueFd link_changed_;       // an eventfd: set_link wakes the serving thread
    std::mutex link_mutex_;
    std::condition_variable link_applied_;
    Link requested_link_ = Link::Up;
    unsigned link_requests_ = 0;
    unsigned link_requests_applied_ = 0;
    bool serving_ = true;
    std::thread thread_;
    std::thread ticker_;
};

}  // namespace kestro::sim::torso
