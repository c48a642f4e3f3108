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
    : trace_(trace),
      serial_link_path_(options.serial_link),
      servo_bus_(start_servo_bus(options, trace)),
      neck_(neck_configs(options)),
      supply_(servos()) {
    servos().set_supply_voltage(options.voltage);
    servos().set_reboot_silence(options.reboot_silence);
    if (options.ramp) supply_.start(SERVO_IDS[0], SupplyRamp::NORMAL, *options.ramp);
    // A wire-timed bus traces its own packets, with their times on the wire.
    relay_serial_ = trace.enabled() && !options.wire_timing;
    if (relay_serial_) {
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
        // One left by a simulator that did not stop cleanly would keep clients out.
        can_state_path_ = *options.can_socket + CAN_STATE_SUFFIX;
        publish_can_state(*can_state_path_, "");
        can_state_file_.emplace(*can_state_path_, S_IFLNK);
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

void SimulatedTorso::unplug_serial() {
    if (!servo_bus_->plugged()) return;
    trace_relay_.reset();  // its terminal is the one the client has open
    servo_bus_->unplug();
    if (serial_link_path_) remove_link(*serial_link_path_);
}

Result<void, std::string> SimulatedTorso::plug_serial() {
    if (servo_bus_->plugged()) return {};
    if (auto plugged = servo_bus_->plug(); !plugged) {
        return fail("serial servo bus: " + plugged.error().message());
    }
    try {
        if (relay_serial_) {
            trace_relay_ = std::make_unique<SerialTraceRelay>(servo_bus_->slave_path(), trace_);
        }
        if (serial_link_path_) link_path(serial_device(), *serial_link_path_);
    } catch (const std::runtime_error& error) {
        return fail(std::string(error.what()));
    }
    return {};
}

Result<void, std::string> SimulatedTorso::set_can_plugged(bool plugged) {
    if (!can_state_path_) {
        return fail(std::string(plugged ? "plug" : "unplug") + " can needs --can-socket");
    }
    if (plugged == (can_link_ != NeckBusServer::Link::Unplugged)) return {};
    set_can_link(plugged ? NeckBusServer::Link::Up : NeckBusServer::Link::Unplugged);
    return {};
}

Result<void, std::string> SimulatedTorso::set_can_up(bool up) {
    if (!can_state_path_) return fail(std::string("can ") + (up ? "up" : "down") + " needs --can-socket");
    if (can_link_ == NeckBusServer::Link::Unplugged) return fail("the CAN interface is unplugged");
    set_can_link(up ? NeckBusServer::Link::Up : NeckBusServer::Link::Down);
    return {};
}

// Clients learn of a failure from the state link before the server acts on it, and of a
// recovery only once the server is back, so that no call slips through in between.
void SimulatedTorso::set_can_link(NeckBusServer::Link link) {
    if (link == can_link_) return;
    if (link == NeckBusServer::Link::Up) {
        neck_server_->set_link(link);
        publish_can_state(*can_state_path_, "");
    } else {
        publish_can_state(*can_state_path_, link == NeckBusServer::Link::Down
                                                ? CAN_STATE_DOWN
                                                : CAN_STATE_UNPLUGGED);
        neck_server_->set_link(link);
    }
    can_link_ = link;
}

}  // namespace kestro::sim::torso
