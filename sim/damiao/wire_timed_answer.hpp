// Puts one exchange of the neck bus on the modelled wire: the request holds the bus for its
// length, the motor answers after its turnaround, and every answer frame is handed on only
// when its last bit has gone by. Shared by every server of the simulated neck.
#pragma once

#include <functional>

#include "sim/damiao/bus_frame.hpp"
#include "sim/damiao/damiao_bus_model.hpp"
#include "sim/wire/can_bus_clock.hpp"

namespace kestro::sim {

// Called for the request (answer false) at once, then for each answer frame at the end of its
// window.
using WireDelivery = std::function<void(const BusFrame&, const wire::Window&, bool answer)>;

// `arrived`: when the request reached the bus. FD frames, which no motor answers, pass
// untimed. False when `stop_fd` became readable while waiting; the rest is then dropped.
bool deliver_on_wire(wire::CanBusClock& bus, const BusFrame& request,
                     wire::Clock::time_point arrived, const DamiaoBusModel::Reply& reply,
                     int stop_fd, const WireDelivery& deliver);

}  // namespace kestro::sim
