// One simulated Damiao motor: its identifiers and registers, enable state, MIT dynamics and
// multi-turn counter, and the fault knobs tests turn. Not thread-safe; the bus model locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/damiao/bus_frame.hpp"
#include "sim/damiao/mit_wire.hpp"
#include "sim/damiao/register_file.hpp"

namespace kestro::sim {

struct DamiaoMotorConfig {
    std::uint16_t can_id = 1;
    std::uint16_t master_id = 1;
    float p_max = 12.5f;
    float v_max = 30.0f;
    float t_max = 10.0f;
    std::uint32_t control_mode = 1;  // 1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS
    double angle = 0.0;  // rad from the physical zero
    int turns = 0;       // the multi-turn counter: the motor reports angle + turns × 2π
};

// What a motor was last sent and how it stands, for tests to assert on.
struct DamiaoMotorSnapshot {
    double position;  // as reported: angle + turns × 2π
    double velocity;
    bool enabled;
    std::uint8_t status;  // the state nibble of its feedback: 0, 1 or a fault code
    std::uint32_t control_mode;
    std::optional<SimMitCommand> last_mit;  // last MIT command applied (in MIT mode)
    std::optional<BusFrame> last_frame;     // last frame addressed to this motor
    unsigned register_reads;
    unsigned register_writes;
};

// Faults a test can inject into one motor.
struct DamiaoFaults {
    bool silent = false;       // answers nothing and ignores every frame, like an unplugged motor
    bool mode_locked = false;  // keeps its control mode whatever is written to CTRL_MODE
    bool stuck = false;        // blocked: never moves, so its position never settles
    std::chrono::nanoseconds reply_delay{0};
};

class SimDamiaoMotor {
public:
    using Clock = std::chrono::steady_clock;

    explicit SimDamiaoMotor(const DamiaoMotorConfig& config);

    // A frame at can_id + 0x100 × k (k = 0 to 3): enable, disable, clear-error or a command of
    // mode k + 1, applied only when that is the motor's mode. Answered with a feedback frame.
    std::optional<BusFrame> on_command(const BusFrame& frame, Clock::time_point now);
    // A frame at 0x7FF addressed to this motor: status request (0xCC), register read (0x33)
    // or write (0x55). Unknown registers and operations get no answer.
    std::optional<BusFrame> on_service(const BusFrame& frame, Clock::time_point now);

    DamiaoMotorSnapshot snapshot() const;
    std::optional<std::uint32_t> register_bits(std::uint8_t reg) const {
        return registers_.bits(reg);
    }

    DamiaoFaults faults;

    // Places the shaft (rad from the physical zero) and restarts the multi-turn counter at
    // `turns`, as a power cycle does; the motor then holds there until commanded again.
    void place(double angle, int turns);

    // A fault, as the motor's protection raises one: state `code` (FIRST_FAULT_CODE to
    // LAST_FAULT_CODE, else std::invalid_argument) in every feedback, torque dropped and enable
    // refused until cleared. Clearing leaves the motor disabled; without a fault it does nothing.
    static constexpr std::uint8_t FIRST_FAULT_CODE = 8;
    static constexpr std::uint8_t LAST_FAULT_CODE = 15;
    void raise_fault(std::uint8_t code);
    // The state a motor with a non-zero TIMEOUT register falls into when, while enabled, no
    // frame addressed to it arrives for that long.
    static constexpr std::uint8_t COMMUNICATION_LOST = 0x0D;
    // Raises COMMUNICATION_LOST once the TIMEOUT watch has run out by `now`. Frames check it on
    // arrival; a caller ticks it so that the motor also drops out when nothing arrives at all.
    void watch_timeout(Clock::time_point now);
    void clear_fault();
    // The driver (MOS) and motor coil temperatures (°C) it measures and reports.
    void set_temperatures(std::uint8_t driver, std::uint8_t motor);

private:
    MitRanges ranges() const;
    double reported_position() const;
    std::uint32_t control_mode() const;
    std::uint8_t status() const;
    void advance(Clock::time_point now);
    // Checks the TIMEOUT watch, then restarts it: a frame addressed to the motor has arrived.
    void heard(Clock::time_point now);
    void move(double seconds);
    bool accepts_write(std::uint8_t reg, std::uint32_t value) const;
    BusFrame feedback_frame() const;
    BusFrame register_reply(std::uint8_t operation, std::uint8_t reg) const;

    DamiaoMotorConfig config_;
    DamiaoRegisterFile registers_;
    bool enabled_ = false;
    std::optional<std::uint8_t> fault_;
    double angle_;
    int turns_;
    double velocity_ = 0.0;
    double torque_ = 0.0;
    // The command the motor follows; cleared by enable and disable, so that a re-enabled motor
    // holds where it is until commanded again.
    std::optional<SimMitCommand> active_mit_;
    std::optional<SimMitCommand> last_mit_;
    std::optional<BusFrame> last_frame_;
    std::optional<Clock::time_point> last_update_;
    // When the last frame addressed to the motor arrived: the start of the TIMEOUT watch.
    std::optional<Clock::time_point> last_heard_;
    unsigned register_reads_ = 0;
    unsigned register_writes_ = 0;
};

}  // namespace kestro::sim
