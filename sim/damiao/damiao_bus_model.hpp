// A Damiao motor bus as pure behaviour: a frame goes in, the frames the bus carries back come
// out. No sockets and no threads, so the same model can sit behind a socket pair, a virtual CAN
// interface or a preload shim. Thread-safe: tests turn the knobs while an endpoint serves.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/damiao/bus_frame.hpp"
#include "sim/damiao/damiao_motor.hpp"

namespace kestro::sim {

// The torso's three neck motors (yaw, pitch, roll) at their factory set-up: command ids 1 to
// 3, feedback ids equal to them, MIT mode, ranges as the controller's motor records expect.
std::vector<DamiaoMotorConfig> neck_motor_configs();

class DamiaoBusModel {
public:
    using Clock = std::chrono::steady_clock;

    // What follows one frame on the bus, to be sent after `delay`.
    struct Reply {
        std::chrono::nanoseconds delay{0};
        std::vector<BusFrame> frames;
    };

    explicit DamiaoBusModel(const std::vector<DamiaoMotorConfig>& motors);

    // The addressed motor's answer, preceded by the foreign frames asked for; nothing for a
    // frame no motor takes (other identifiers, extended or FD frames, silent motors).
    Reply handle(const BusFrame& frame, Clock::time_point now);
    // Lets every motor's TIMEOUT watch run out by `now` with no frame arriving; a server calls it
    // often (every millisecond) so that a motor drops out on time.
    void tick(Clock::time_point now);

    // Knobs, by command id. An id the bus does not have throws std::out_of_range: it is a
    // mistake in the test, not a bus condition.
    void set_silent(std::uint16_t can_id, bool silent);
    void set_mode_locked(std::uint16_t can_id, bool locked);
    void set_stuck(std::uint16_t can_id, bool stuck);
    void set_reply_delay(std::uint16_t can_id, std::chrono::nanoseconds delay);
    // Places the shaft and restarts the multi-turn counter, as a power cycle does.
    void place(std::uint16_t can_id, double angle, int turns);
    // A fault state code (8 to 15) the motor reports until cleared, or nullopt to clear it as
    // the clear-error frame does (see SimDamiaoMotor::raise_fault).
    void set_fault(std::uint16_t can_id, std::optional<std::uint8_t> code);
    void set_temperatures(std::uint16_t can_id, std::uint8_t driver, std::uint8_t motor);
    // Frames of other nodes put on the bus before every answer, some of them close to the
    // real answer (same identifier value as an extended frame, a reply to another register).
    void set_foreign_frames(unsigned count);

    DamiaoMotorSnapshot snapshot(std::uint16_t can_id) const;
    std::optional<std::uint32_t> register_bits(std::uint16_t can_id, std::uint8_t reg) const;

private:
    SimDamiaoMotor* addressed(const BusFrame& frame);
    std::vector<BusFrame> foreign_frames(const BusFrame& answer) const;

    mutable std::mutex mutex_;
    std::map<std::uint16_t, SimDamiaoMotor> motors_;
    unsigned foreign_frames_ = 0;
};

}  // namespace kestro::sim
