// The control loop: start-up of a torso on the caller's thread, then a background thread that
// owns the controller and both buses, reads all positions periodically and executes queued
// commands. Callers queue commands, query the last published values and close the loop.
#pragma once

#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/cancel.hpp"
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

// Why a wait on the loop thread ended without its answer.
enum class WaitFailure {
    ChannelClosed,  // the loop has ended; nothing was queued
    NoReply,        // the loop dropped the request (it failed or never ran), or did not answer in time
    Interrupted,    // the caller's cancel check asked to stop: nothing was queued, or the
                    // queued request still runs as usual
    OwnThread,      // made on the loop's own thread (from a log handler): it would wait on itself
};

class KestroControlLoop {
public:
    // Brings the torso up (motor checks, voltage wait, servo reboot, first reading) and
    // starts the loop thread. On failure nothing is left open or running.
    // `cancel` is polled throughout; a request ends the start-up with Interrupted, having
    // closed everything it opened.
    static Result<std::unique_ptr<KestroControlLoop>, MotorError> start(
        const LoopConfig& config, const ControllerFactory& factory = socketcan_controller_factory(),
        const CancelToken& cancel = {});

    KestroControlLoop(const KestroControlLoop&) = delete;
    KestroControlLoop& operator=(const KestroControlLoop&) = delete;
    // Closes the loop first.
    ~KestroControlLoop();

    // Every wait below polls `cancel` at least every CANCEL_POLL_INTERVAL.

    // Queues a command, waiting while the queue is full. On the loop's own thread a full queue
    // fails at once (OwnThread) instead of waiting on itself.
    Result<void, WaitFailure> send(MotorCommand command, const CancelToken& cancel = {});

    // Copies of the last published values.
    Result<KestroTorsoPosition, MotorError> get_last_position();
    Result<bool, MotorError> is_torque_enabled();
    // Nothing when the loop runs without statistics.
    std::optional<ControlLoopStats> get_stats();
    // The devices' health as of the loop's last tick or command, with its counters.
    controller::TorsoHealth get_health();
    const std::unordered_map<std::string, std::uint8_t>& motor_name_id() const { return motor_name_id_; }

    // A register read by the loop thread, waiting at most 1 s for it once queued.
    Result<Bytes, WaitFailure> async_read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                    std::uint8_t length,
                                                    const CancelToken& cancel = {});
    // A raw packet written by the loop thread, and what came back. The wait has no time-out:
    // the loop always answers or drops the request within its own bounded write.
    Result<Bytes, WaitFailure> write_raw_packet(Bytes packet, const CancelToken& cancel = {});

    // Neck faults cleared by the loop thread (none: all three joints), waiting at most 1 s for
    // it once queued. The index must be one the controller takes (check_neck_index).
    Result<ClearedStates, WaitFailure> clear_neck_faults(std::optional<std::size_t> index,
                                                         const CancelToken& cancel = {});

    // Stops the loop: the thread is woken at once, finishes its current event, executes the
    // commands still queued, releases the buses and ends. Later calls return at once. On the
    // loop's own thread it only asks the thread to stop, since the thread cannot wait for
    // itself. Fails only with Interrupted, leaving the thread to end by itself.
    Result<void, WaitFailure> close(const CancelToken& cancel = {});

    // True on the loop's own thread, where nothing may wait for that thread.
    bool on_loop_thread() const;
    // True in a child process forked while the loop ran: the child has the loop's memory but
    // not its thread, so it must neither signal nor wait for that thread, nor touch its buses.
    bool in_forked_child() const { return ::getpid() != owner_pid_; }

private:
    friend struct ControlLoopTestAccess;

    struct ThreadSlot {
        std::thread thread;
        std::shared_ptr<LoopThreadEnd> end;
    };

    KestroControlLoop(Sender<MotorCommand> command_tx, std::shared_ptr<LoopCells> cells,
                      std::unordered_map<std::string, std::uint8_t> motor_name_id);

    // Queues a request and waits for its answer on `answer`, at most `timeout` (none: without
    // end) once queued.
    template <class T>
    Result<T, WaitFailure> request(MotorCommand command, Receiver<T>& answer,
                                   std::optional<std::chrono::nanoseconds> timeout,
                                   const CancelToken& cancel);

    Sender<MotorCommand> command_tx_;
    std::shared_ptr<LoopCells> cells_;
    std::unordered_map<std::string, std::uint8_t> motor_name_id_;
    SharedCell<ThreadSlot> thread_handle_{ThreadSlot{}};
    const pid_t owner_pid_ = ::getpid();
};

}  // namespace kestro::control_loop
