// A whole simulated torso for tests and benchmarks: seven servos on a pseudo-terminal and the
// three neck motors behind a frame-record socket pair, and controllers built on them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "can_motor/transport/socketcan_backend.hpp"
#include "sim/damiao/damiao_bus_model.hpp"
#include "sim/damiao/socketpair_endpoint.hpp"
#include "sim/feetech/pty_bus.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {

struct SimTorso {
    std::unique_ptr<sim::FeetechPtyBus> servos;
    std::unique_ptr<sim::DamiaoBusModel> neck;
    std::unique_ptr<sim::DamiaoSocketpairEndpoint> neck_bus;

    // Without a pseudo-terminal nothing here can run, so that ends the program.
    static SimTorso start(
        const std::vector<sim::DamiaoMotorConfig>& neck_configs = sim::neck_motor_configs()) {
        auto servos = sim::FeetechPtyBus::start(SERVO_IDS);
        if (!servos) unusable("simulated servo bus", servos.error().message());
        SimTorso torso;
        torso.servos = std::move(*servos);
        torso.neck = std::make_unique<sim::DamiaoBusModel>(neck_configs);
        torso.neck_bus = std::make_unique<sim::DamiaoSocketpairEndpoint>(*torso.neck);
        return torso;
    }

    // The neck's transport: the product's SocketCAN code on the socket pair's free end.
    std::unique_ptr<can_motor::CanTransport> take_neck_transport() {
        return std::make_unique<can_motor::SocketCanTransport>(
            can_motor::SocketCanTransport::adopt(neck_bus->take_peer()));
    }

    // A controller on both simulated buses, or on the neck alone.
    KestroMotorController controller(bool with_servos = true) {
        auto created = KestroMotorController::create(
            with_servos ? std::optional(servos->slave_path()) : std::nullopt,
            take_neck_transport());
        if (!created) unusable("controller on the simulated torso", created.error().message());
        return std::move(*created);
    }

private:
    [[noreturn]] static void unusable(const char* what, const std::string& why) {
        std::fprintf(stderr, "cannot set up the %s: %s\n", what, why.c_str());
        std::abort();
    }
};

}  // namespace kestro::controller
