// The simulated torso on modelled wires, for the benchmarks: the servos on a serial line of
// 1,000,000 baud, the neck on a 1 Mbit/s CAN bus, and a tally of how long each bus was busy,
// split into the position reads of the loop's ticks and everything else.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "can_motor/transport/socketcan_backend.hpp"
#include "sim/damiao/damiao_bus_model.hpp"
#include "sim/damiao/socketpair_endpoint.hpp"
#include "sim/feetech/pty_bus.hpp"
#include "src/controller/motor_layout.hpp"

namespace kestro::control_loop {

class WireTimedTorso {
public:
    // A tick's reads: the servos' sync reads and the motors' status requests.
    static constexpr std::uint8_t SYNC_READ = 0x82;
    static constexpr std::uint32_t STATUS_REQUEST_ID = 0x7FF;

    struct Busy {
        double read = 0;   // s
        double other = 0;  // s
        // s from the last bit of a read's answers on the wire to their hand-over to the port:
        // the simulator's own wake-up and, with USB latency, the adapter's timer.
        double read_handover = 0;
        Busy operator-(const Busy& earlier) const {
            return {read - earlier.read, other - earlier.other,
                    read_handover - earlier.read_handover};
        }
    };

    explicit WireTimedTorso(std::chrono::microseconds usb_latency)
        : neck_(sim::neck_motor_configs()) {
        sim::wire::SerialTiming timing;
        timing.usb_latency = usb_latency;
        auto servos = sim::FeetechPtyBus::start(
            controller::SERVO_IDS, timing,
            [this](bool from_host, std::span<const std::uint8_t> bytes,
                   const sim::wire::Window& window) {
                serial_.packet(from_host, from_host && bytes.size() > 4 && bytes[4] == SYNC_READ,
                               window);
            });
        if (!servos) {
            std::fprintf(stderr, "cannot start the servo bus: %s\n",
                         servos.error().message().c_str());
            std::abort();
        }
        servos_ = std::move(*servos);
        neck_bus_ = std::make_unique<sim::DamiaoSocketpairEndpoint>(
            neck_, sim::wire::CanTiming{},
            [this](const sim::BusFrame& frame, const sim::wire::Window& window, bool answer) {
                can_.packet(!answer, !answer && frame.id == STATUS_REQUEST_ID, window);
            });
    }

    const std::string& serial_path() const { return servos_->slave_path(); }

    std::unique_ptr<can_motor::CanTransport> take_neck_transport() {
        return std::make_unique<can_motor::SocketCanTransport>(
            can_motor::SocketCanTransport::adopt(neck_bus_->take_peer()));
    }

    // The neck socket's free end itself, for a client without the product's transport.
    int take_neck_peer() { return neck_bus_->take_peer(); }

    Busy busy() const {
        return {serial_.read_seconds() + can_.read_seconds(),
                serial_.other_seconds() + can_.other_seconds(),
                serial_.handover_seconds() + can_.handover_seconds()};
    }

private:
    // Each transaction from its request's first bit to its last answer's last bit. Fed by one
    // serving thread, which reports an answer just after handing it over; read by the benchmark.
    class Meter {
    public:
        // Only the last answer's hand-over counts, the one the host waits for: earlier ones
        // overlap the wire time of the answers after them.
        void packet(bool request, bool read, const sim::wire::Window& window) {
            if (request) {
                if (reading_) handover_ns_ += pending_handover_;
                pending_handover_ = 0;
                reading_ = read;
            } else {
                pending_handover_ = (sim::wire::Clock::now() - window.end).count();
            }
            const auto from = request ? window.start : last_end_;
            last_end_ = window.end;
            (reading_ ? read_ns_ : other_ns_) += (window.end - from).count();
        }
        double read_seconds() const { return static_cast<double>(read_ns_.load()) / 1e9; }
        double other_seconds() const { return static_cast<double>(other_ns_.load()) / 1e9; }
        double handover_seconds() const { return static_cast<double>(handover_ns_.load()) / 1e9; }

    private:
        bool reading_ = false;
        long long pending_handover_ = 0;
        sim::wire::Clock::time_point last_end_{};
        std::atomic<long long> read_ns_{0};
        std::atomic<long long> other_ns_{0};
        std::atomic<long long> handover_ns_{0};
    };

    Meter serial_;
    Meter can_;
    std::unique_ptr<sim::FeetechPtyBus> servos_;
    sim::DamiaoBusModel neck_;
    std::unique_ptr<sim::DamiaoSocketpairEndpoint> neck_bus_;
};

}  // namespace kestro::control_loop
