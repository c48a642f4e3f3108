#include "sim/torso/simulated_torso.hpp"

#include <stdexcept>

namespace kestro::sim::torso {
namespace {

std::unique_ptr<FeetechPtyBus> start_servo_bus() {
    auto bus = FeetechPtyBus::start(SERVO_IDS);
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
    : servo_bus_(start_servo_bus()), neck_(neck_configs(options)), supply_(servos()) {
    servos().set_supply_voltage(options.voltage);
    servos().set_reboot_silence(options.reboot_silence);
    if (options.ramp) supply_.start(SERVO_IDS[0], SupplyRamp::NORMAL, *options.ramp);
    if (trace.enabled()) {
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
        neck_server_ =
            std::make_unique<NeckBusServer>(neck_, trace, std::move(listener), std::move(can));
    }
}

const std::string& SimulatedTorso::serial_device() const {
    return trace_relay_ ? trace_relay_->device() : servo_bus_->slave_path();
}

}  // namespace kestro::sim::torso
