#include "sim/damiao/wire_timed_answer.hpp"

#include "sim/wire/wait_until.hpp"

namespace kestro::sim {

bool deliver_on_wire(wire::CanBusClock& bus, const BusFrame& request,
                     wire::Clock::time_point arrived, const DamiaoBusModel::Reply& reply,
                     int stop_fd, const WireDelivery& deliver) {
    const wire::Window sent = request.fd ? wire::Window{arrived, arrived}
                                         : bus.put(arrived, request.id, request.extended,
                                                   request.data);
    deliver(request, sent, false);
    wire::Clock::time_point ready = sent.end + bus.timing().motor_turnaround + reply.delay;
    for (const BusFrame& frame : reply.frames) {
        const wire::Window window = bus.put(ready, frame.id, frame.extended, frame.data);
        if (!wire::wait_until(window.end, stop_fd)) return false;
        deliver(frame, window, true);
        ready = window.end;
    }
    return true;
}

}  // namespace kestro::sim
