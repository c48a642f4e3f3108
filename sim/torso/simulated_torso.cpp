#include "sim/torso/simulated_torso.hpp"

#include <stdexcept>

namespace kestro::sim::torso {
namespace {

std::unique_ptr<FeetechPtyBus> start_servo_bus(const Options& options, Trace& trace) {
    std::optional<wire::SerialTiming> timing;
    FeetechPtyBus::WireObserver observer;
    if (options.wire_timing) {
        timing = options.serial_timing;
        if (trace.enabled()) {
            observer = [&trace](bool from_host, std::span<const std::uint8_t> bytes,
                                const wire::Window& window) {
                trace.serial(from_host ? Direction::ToSim : Direction::FromSim, bytes, window);
            };
        }
    }
    auto bus = FeetechPtyBus::start(SERVO_IDS, timing, std::move(observer));
    if (!bus) throw std::runtime_error("serial servo bus: " + bus.error().message());
    return std::move(*bus);
}

std::vector<DamiaoMotorConfig> neck_configs(const Options& options) {
    std::vector<DamiaoMotorConfig> configs = neck_motor_configs();
    for (std::size_t i = 0; i < configs.size(); ++i) {
        configs[i].angle = options.neck_angles[i];
        configs[i].turns = options.neck_turns[i];
    }
    return configs;
}

}  // namespace

SimulatedTorso::SimulatedTorso(const Options& options, Trace& trace)
    : servo_bus_(start_servo_bus(options, trace)), neck_(neck_configs(options)), supply_(servos()) {
    servos().set_supply_voltage(options.voltage);
    servos().set_reboot_silence(options.reboot_silence);
    if (options.ramp) supply_.start(SERVO_IDS[0], SupplyRamp::NORMAL, *options.ramp);
    // A wire-timed bus traces its own packets, with their times on the wire.
    if (trace.enabled() && !options.wire_timing) {
        trace_relay_ = std::make_unique<SerialTraceRelay>(servo_bus_->slave_path(), trace);
    }
    if (options.serial_link) {
        link_path(serial_device(), *options.serial_link);
        serial_link_.emplace(*options.serial_link, S_IFLNK);
    }
    UniqueFd listener;
    if (options.can_socket) {
        listener = listen_unix(*options.can_socket);
        can_socket_file_.emplace(*options.can_socket, S_IFSOCK);
    }
    UniqueFd can = options.vcan ? open_can(*options.vcan) : UniqueFd();
    if (listener || can) {
        neck_server_ = std::make_unique<NeckBusServer>(
            neck_, trace, std::move(listener), std::move(can),
            options.wire_timing ? std::optional(options.can_timing) : std::nullopt);
    }
}

const std::string& SimulatedTorso::serial_device() const {
    return trace_relay_ ? trace_relay_->device() : servo_bus_->slave_path();
}

}  // namespace kestro::sim::torso
