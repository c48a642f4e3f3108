// Puts a Damiao bus model behind one end of a packet socket pair that speaks the kernel's CAN
// frame records, so that the product's SocketCAN transport runs its real send and receive code
// against simulated motors on a machine without CAN.
#pragma once

#include <atomic>
#include <optional>
#include <thread>

#include "sim/damiao/damiao_bus_model.hpp"
#include "sim/damiao/wire_timed_answer.hpp"
#include "sim/wire/can_bus_clock.hpp"

namespace kestro::sim {

class DamiaoSocketpairEndpoint {
public:
    // Starts serving at once. `model` must outlive the endpoint. With `timing`, answers come
    // when a real bus of that timing would carry them, and `observer` (on the serving thread)
    // sees every frame with its window on the wire; without it, at once.
    explicit DamiaoSocketpairEndpoint(DamiaoBusModel& model,
                                      std::optional<wire::CanTiming> timing = std::nullopt,
                                      WireDelivery observer = {});
    ~DamiaoSocketpairEndpoint();
    DamiaoSocketpairEndpoint(const DamiaoSocketpairEndpoint&) = delete;
    DamiaoSocketpairEndpoint& operator=(const DamiaoSocketpairEndpoint&) = delete;

    // The other end, for the code under test, which then owns it; -1 once taken.
    int take_peer();

    // Stops the serving thread within one poll; idempotent. The destructor calls it.
    void stop();

    // Records that were not a classic or FD frame record, and answers dropped because the
    // peer's receive queue was full (as a CAN socket drops frames nobody reads).
    unsigned malformed_records() const { return malformed_.load(); }
    unsigned dropped_frames() const { return dropped_.load(); }

private:
    void serve();
    void answer(const BusFrame& frame);
    void send_frame(const BusFrame& frame);
    // Sleeps for `delay` unless stopped first; false when stopped.
    bool pause(std::chrono::nanoseconds delay) const;

    DamiaoBusModel& model_;
    std::optional<wire::CanBusClock> wire_;  // only the serving thread touches it
    WireDelivery observer_;
    int own_fd_ = -1;
    int peer_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<unsigned> malformed_{0};
    std::atomic<unsigned> dropped_{0};
    std::thread thread_;
};

}  // namespace kestro::sim
