// The control loop: start-up of a torso on the caller's thread, then a background thread that
// owns the controller and both buses, reads all positions periodically and executes queued
// commands. Callers queue commands, query the last published values and close the loop.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "src/control_loop/loop_cells.hpp"
#include "src/control_loop/loop_config.hpp"
#include "src/control_loop/loop_thread.hpp"
#include "src/control_loop/motor_command.hpp"
#include "src/control_loop/motor_error.hpp"

namespace kestro::control_loop {

// Builds the loop's private controller; the default opens the serial port and the SocketCAN
// interface by name.
using ControllerFactory = std::function<controller::Outcome<controller::KestroMotorController>(
    const std::optional<std::string>& serialport, const std::string& can_bus)>;

ControllerFactory socketcan_controller_factory();

// Why a raw packet got no answer.
enum class RawPacketFailure {
    ChannelClosed,  // the loop has ended; nothing was queued
    NoReply,        // the loop dropped the request: the write failed or was never made
};

class KestroControlLoop {
public:
    // Brings the torso up (motor checks, voltage wait, servo reboot, first reading) and
    // starts the loop thread. On failure nothing is left open or running.
    static Result<std::unique_ptr<KestroControlLoop>, MotorError> start(
        const LoopConfig& config, const ControllerFactory& factory = socketcan_controller_factory());

    KestroControlLoop(const KestroControlLoop&) = delete;
    KestroControlLoop& operator=(const KestroControlLoop&) = delete;
    // Closes the loop first.
    ~KestroControlLoop();

    // Queues a command, waiting while the queue is full; false once the loop has ended.
    [[nodiscard]] bool send(MotorCommand command) { return static_cast<bool>(command_tx_.send(std::move(command))); }

    // Copies of the last published values.
    Result<KestroTorsoPosition, MotorError> get_last_position();
    Result<bool, MotorError> is_torque_enabled();
    // Nothing when the loop runs without statistics.
    std::optional<ControlLoopStats> get_stats();
    const std::unordered_map<std::string, std::uint8_t>& motor_name_id() const { return motor_name_id_; }

    // A register read by the loop thread, waiting at most 1 s for it once queued.
    Result<Bytes, MotorError> async_read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                   std::uint8_t length);
    // A raw packet written by the loop thread, and what came back. The wait has no time-out:
    // the loop always answers or drops the request within its own bounded write.
    Result<Bytes, RawPacketFailure> write_raw_packet(Bytes packet);

    // Stops the loop: the thread finishes its current event, executes the commands still
    // queued, releases the buses and ends. Later calls return at once.
    void close();

private:
    friend struct ControlLoopTestAccess;

    struct ThreadSlot {
        std::thread thread;
        std::unique_ptr<LoopThreadEnd> end;
    };

    KestroControlLoop(Sender<MotorCommand> command_tx, std::shared_ptr<LoopCells> cells,
                      std::unordered_map<std::string, std::uint8_t> motor_name_id);

    Sender<MotorCommand> command_tx_;
    std::shared_ptr<LoopCells> cells_;
    std::unordered_map<std::string, std::uint8_t> motor_name_id_;
    SharedCell<ThreadSlot> thread_handle_{ThreadSlot{}};
};

}  // namespace kestro::control_loop
