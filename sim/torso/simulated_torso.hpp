// The whole simulated torso as the options ask for it: the seven servos of the motor layout on
// a pseudo-terminal (ids 1 to 4 the SM40BL arm servos, 5 to 7 the STS3025BL nose servos, which
// share one register map here), the three neck motors with their layout's ranges and start
// positions, and everything through which clients reach them. Everything it made is removed
// again when it is destroyed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/result.hpp"

#include "sim/damiao/damiao_bus_model.hpp"
#include "sim/feetech/pty_bus.hpp"
#include "sim/torso/endpoints.hpp"
#include "sim/torso/neck_bus_server.hpp"
#include "sim/torso/options.hpp"
#include "sim/torso/serial_trace_relay.hpp"
#include "sim/torso/supply_ramp.hpp"
#include "sim/torso/trace.hpp"

namespace kestro::sim::torso {

inline constexpr std::array<std::uint8_t, 7> SERVO_IDS{1, 2, 3, 4, 5, 6, 7};
inline constexpr std::array<std::uint16_t, 3> MOTOR_IDS{1, 2, 3};

class SimulatedTorso {
public:
    // Throws std::runtime_error when something the options ask for cannot be set up.
    SimulatedTorso(const Options& options, Trace& trace);
    SimulatedTorso(const SimulatedTorso&) = delete;
    SimulatedTorso& operator=(const SimulatedTorso&) = delete;

    // The serial device clients open as their servo bus.
    const std::string& serial_device() const;

    FeetechBusModel& servos() { return servo_bus_->model(); }
    FeetechPtyBus& serial_line() { return *servo_bus_; }
    SupplyRamp& supply() { return supply_; }
    DamiaoBusModel& neck() { return neck_; }

    // The serial adapter pulled out and plugged in again (see FeetechPtyBus::unplug): the
    // --serial-link goes with the device and comes back pointing at the new one. Each does
    // nothing when already so.
    void unplug_serial();
    Result<void, std::string> plug_serial();
    // The CAN interface of --can-socket clients. Plugged in again it comes back up; down and
    // up need it plugged in. Each does nothing when already so; an error names what is wrong.
    Result<void, std::string> set_can_plugged(bool plugged);
    Result<void, std::string> set_can_up(bool up);

private:
    void set_can_link(NeckBusServer::Link link);

    Trace& trace_;
    bool relay_serial_ = false;  // --trace without --wire-timing: a relay logs the serial line
    std::optional<std::string> serial_link_path_;
    std::optional<std::string> can_state_path_;  // with --can-socket only
    NeckBusServer::Link can_link_ = NeckBusServer::Link::Up;
    // Declared in the order of building; destruction stops the servers before the models.
    std::unique_ptr<FeetechPtyBus> servo_bus_;
    DamiaoBusModel neck_;
    SupplyRamp supply_;
    std::unique_ptr<SerialTraceRelay> trace_relay_;
    std::optional<RemoveAtExit> serial_link_;
    std::optional<RemoveAtExit> can_socket_file_;
    std::optional<RemoveAtExit> can_state_file_;
    std::unique_ptr<NeckBusServer> neck_server_;
};

}  // namespace kestro::sim::torso
