// The torso controller: the synchronous owner of the serial servo bus (optional) and the CAN
// bus of the neck. Every operation performs its bus transactions on the calling thread and
// returns when they are done. It has no lock: its owner gives one thread at a time its use.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/can_transport.hpp"
#include "common/cancel.hpp"
#include "common/io_error.hpp"
#include "common/result.hpp"
#include "servo_bus/feetech_protocol/protocol_handler.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "src/controller/controller_error.hpp"
#include "src/controller/health.hpp"
#include "src/controller/motor_layout.hpp"
#include "src/controller/servo_goals.hpp"

namespace kestro::controller {

template <class T>
using Outcome = Result<T, ControllerError>;

using NeckPositions = std::array<double, 3>;
// Told the reported positions and the goals once per homing cycle.
using NeckHomeProgress =
    std::function<void(std::span<const double, 3> observed, std::span<const double, 3> goals)>;
// Waits `duration` between two homing cycles; false when `cancel` asked to stop.
using HomingSleeper =
    std::function<bool(std::chrono::nanoseconds duration, const CancelToken& cancel)>;

class KestroMotorController {
public:
    // Opens `serialport` (absent: a neck-only controller), then the SocketCAN interface
    // `can_bus`. Sends nothing. On failure nothing stays open.
    static Outcome<KestroMotorController> create(const std::optional<std::string>& serialport,
                                                 const std::string& can_bus);
    // As above with a CAN transport that is already open (simulated buses, adapters).
    static Outcome<KestroMotorController> create(const std::optional<std::string>& serialport,
                                                 std::unique_ptr<can_motor::CanTransport> can);

    KestroMotorController(KestroMotorController&&) noexcept = default;
    KestroMotorController& operator=(KestroMotorController&&) noexcept = default;

    bool has_serial_port() const { return serial_port_.has_value(); }
    // What the devices said of themselves in the replies received so far; sends nothing.
    const TorsoHealth& health() const { return health_->health(); }
    bool neck_torque_enabled() const { return neck_torque_enabled_; }
    const std::array<can_motor::damiao::MitCommand, 3>& neck_commands() const {
        return neck_commands_;
    }

    // --- Serial servos -------------------------------------------------------------------

    // Ids 1 to 7 that did not answer a ping, in ping order; empty without a serial port.
    // Stops pinging when `cancel` asks (the list is then incomplete).
    std::vector<std::uint8_t> check_missing_ids(const CancelToken& cancel = {});
    // Seven positions (rad) in table order: the arm group read, then the nose group read.
    Outcome<std::array<double, 7>> read_all_positions();
    // Seven raw supply voltage bytes (0.1 V) in table order.
    Outcome<std::array<std::uint8_t, 7>> read_all_voltages();
    // True when all seven servos report torque on.
    Outcome<bool> is_torque_enabled();
    // Switches torque on the arm ids (1-4) and nose ids (5-7) found in `ids`, in their order
    // and with repeats; other ids are ignored.
    //
    // Every switch that turns torque on holds the pose first: each servo being enabled that
    // this controller has given no goal since its torque last went off gets its present
    // position as its goal, so that it stays where it stands instead of driving to whatever
    // its goal register held. All the groups are read before anything is written; when a read
    // fails, nothing is written and no torque is switched.
    Outcome<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
    // Torque of all seven servos: the arm group, then the nose group.
    Outcome<void> set_all_torque(bool enable);
    Outcome<void> set_arm_torque(bool enable);
    Outcome<void> set_nose_torque(bool enable);
    // Goals (rad) for all seven servos in table order: the arm group, then the nose group.
    // Every goal must be finite and within the servo's range (check_servo_goals); nothing is
    // sent otherwise.
    Outcome<void> set_all_goal_positions(std::span<const double, 7> positions);
    // Goals (rad) for SM40BL arm servos `ids`, one per id, checked as above.
    Outcome<void> set_arm_goal_positions(std::span<const std::uint8_t> ids,
                                         std::span<const double> positions);
    // Goals (rad) for the three nose servos, checked as above.
    Outcome<void> set_nose_goal_positions(std::span<const double, 3> positions);
    // One register read or write on one servo, for raw access. A write that covers the goal
    // register counts as a goal given, one that turns torque off as torque switched off.
    Outcome<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                      std::uint8_t length);
    Outcome<void> write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                  std::span<const std::uint8_t> data);
    // Writes `data` as is, waits for it to leave, then gives what arrived within about 10 ms.
    Result<std::vector<std::uint8_t>, IoError> write_raw_packet(std::span<const std::uint8_t> data);
    // Reboots all seven servos and waits up to `timeout` for each to answer a ping again.
    // `cancel` ends the wait early, with an interrupted error.
    Outcome<void> reboot(std::chrono::nanoseconds timeout, const CancelToken& cancel = {});
    // Makes the arms' current pose their persistent zero; gives the verified positions.
    // `cancel` is polled between the bus steps; a request stops before the next one.
    Outcome<std::array<double, 4>> set_arm_home(double verify_tol, const CancelToken& cancel = {});

    // --- Neck ----------------------------------------------------------------------------

    // A neck joint index, 0 to 2: "neck index out of range: <index>" otherwise.
    static Outcome<void> check_neck_index(std::size_t index);
    // `position` limited to joint `index`'s safe range, with a warning when it had to be.
    static double clamp_neck_position(std::size_t index, double position);
    // On: MIT mode and enable, joint by joint. Off: disable, joint by joint.
    Outcome<void> enable_neck(bool enable);
    // New gains for joint `index`, used from its next command on.
    Outcome<void> set_neck_gains(std::size_t index, float kp, float kd);
    // Commands all three joints to `positions` as given (no clamp); gives the reported ones.
    Outcome<NeckPositions> command_neck_mit(const NeckPositions& positions, std::string_view label);
    // Clamps the three goals and commands them; gives the reported positions. A goal that is
    // not a number is refused before anything is sent.
    Outcome<NeckPositions> set_neck_position(const NeckPositions& goals);
    // Clamps and commands one joint; gives its reported position. A goal that is not a
    // number is refused before anything is sent.
    Outcome<double> set_single_neck_joint(std::size_t index, double position);
    // Writes each neck motor's TIMEOUT register (units of 50 µs; 0: none), in RAM only: a motor
    // that then hears no frame for that long drops torque and reports communication lost.
    Outcome<void> set_neck_timeout(std::uint32_t units);
    // Names of the neck joints whose motor did not answer a feedback request. Stops asking
    // when `cancel` asks (the list is then incomplete).
    std::vector<std::string> check_missing_neck_motors(const CancelToken& cancel = {});
    Outcome<NeckPositions> read_neck_positions();
    // The same three feedback requests, failing with the same texts; gives each joint's state.
    Outcome<std::array<NeckState, 3>> read_neck_state();
    // Sends the clear-error frame to joint `index` (none: all three, in joint order) and gives
    // the state each reports after it. Enables nothing: a cleared motor reports disabled.
    Outcome<std::vector<NeckState>> clear_neck_faults(std::optional<std::size_t> index);
    // Ramps each joint to the multiple of 2π nearest its position; gives the settled positions.
    // `cancel` is polled before every ramp step: a request sends no further step, and each
    // motor holds its last command. `progress`, when given, is called once per cycle after
    // the cycle's command exchange, with the reported positions and the goals.
    Outcome<NeckPositions> neck_home(double speed, double tolerance, std::optional<float> kp,
                                     std::optional<float> kd, const CancelToken& cancel = {},
                                     const NeckHomeProgress& progress = {});
    // How a homing cycle waits out its 10 ms; real time (`sleep_for`) unless replaced. A test
    // of the cycle budget hands in one that returns at once: every frame sent stays the same,
    // only the wall-clock time between them goes.
    void set_homing_sleeper(HomingSleeper sleeper) { homing_sleeper_ = std::move(sleeper); }

private:
    KestroMotorController(std::optional<servo_bus::SerialPort> serial_port,
                          std::unique_ptr<can_motor::CanTransport> can,
                          std::array<can_motor::damiao::Damiao, 3> neck_motors);

    // The serial port, or the neck-only error.
    Outcome<servo_bus::SerialPort*> serial();
    // Writes `radians` as the goals of `ids` and notes them as given.
    Outcome<void> send_goals(servo_bus::SerialPort& port, std::span<const std::uint8_t> ids,
                             std::span<const double> radians);
    Outcome<void> switch_torque(const ServoGroups& groups, bool enable);
    // Sets the goal of each servo of `groups` that has none given to its present position.
    Outcome<void> hold_pose(servo_bus::SerialPort& port, const ServoGroups& groups);
    // Whether this controller gave servo `id` a goal since its torque last went off.
    bool goal_given(std::uint8_t id) const;
    // Notes the goals of `ids` (the broadcast id: every servo) as given or no longer given.
    void note_goals(std::span<const std::uint8_t> ids, bool given);

    // Sends joint `index`'s current command and gives the position in the motor's reply.
    Result<double, can_motor::damiao::Error> send_neck_command(std::size_t index);
    // `reply`, an exchange with joint `index`'s motor, once its health has taken note of it.
    Result<can_motor::damiao::MitState, can_motor::damiao::Error> noted(
        std::size_t index, Result<can_motor::damiao::MitState, can_motor::damiao::Error> reply);

    // On the heap, so that the protocol handler's pointer to it survives a move.
    std::unique_ptr<HealthRecorder> health_ = std::make_unique<HealthRecorder>();
    // Declared before the serial port so that destruction closes the serial port first.
    std::unique_ptr<can_motor::CanTransport> can_;
    std::optional<servo_bus::SerialPort> serial_port_;
    servo_bus::FeetechProtocolHandler feetech_;
    std::array<can_motor::damiao::Damiao, 3> neck_motors_;
    std::array<can_motor::damiao::MitCommand, 3> neck_commands_ = DEFAULT_NECK_COMMANDS;
    bool neck_torque_enabled_ = false;
    // Per servo, in table order: a goal given since its torque last went off (or since this
    // controller was built). Torque on holds the pose of the others.
    std::array<bool, SERVOS.size()> goal_given_{};
    HomingSleeper homing_sleeper_ = sleep_for;
};

}  // namespace kestro::controller
