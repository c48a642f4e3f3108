#include "src/control_loop/control_loop.hpp"

#include "common/log.hpp"

namespace kestro::control_loop {
namespace {

using namespace std::chrono_literals;

constexpr auto reply_timeout = 1s;

// A copy of a cell's value; a poisoned cell is reported and copied all the same.
template <class T>
T copy_logging_poison(SharedCell<T>& cell, const char* poisoned_text) {
    auto [value, poisoned] = cell.copy();
    if (poisoned) log::emit(log::Level::Error, log::control_loop_target, [&] { return std::string(poisoned_text); });
    return value;
}

}  // namespace

KestroControlLoop::KestroControlLoop(Sender<MotorCommand> command_tx,
                                     std::shared_ptr<LoopCells> cells,
                                     std::unordered_map<std::string, std::uint8_t> motor_name_id)
    : command_tx_(std::move(command_tx)),
      cells_(std::move(cells)),
      motor_name_id_(std::move(motor_name_id)) {}

KestroControlLoop::~KestroControlLoop() { close(); }

Result<KestroTorsoPosition, MotorError> KestroControlLoop::get_last_position() {
    return copy_logging_poison(cells_->last_position, "last_position mutex was poisoned");
}

Result<bool, MotorError> KestroControlLoop::is_torque_enabled() {
    return copy_logging_poison(cells_->last_torque, "last_torque mutex was poisoned");
}

std::optional<ControlLoopStats> KestroControlLoop::get_stats() {
    if (!cells_->last_stats) return std::nullopt;
    return copy_logging_poison(*cells_->last_stats, "last_stats mutex was poisoned").snapshot();
}

Result<Bytes, MotorError> KestroControlLoop::async_read_raw_bytes(std::uint8_t id,
                                                                  std::uint8_t address,
                                                                  std::uint8_t length) {
    auto [reply, answer] = reply_channel();
    if (!send(command::ReadRawBytes{id, address, length, std::move(reply)})) {
        return fail(CommunicationError{});
    }
    // The bound covers the wait behind other commands and ticks, and the read's retries.
    auto bytes = answer.recv_for(reply_timeout);
    if (!bytes) return fail(CommunicationError{});
    return std::move(*bytes);
}

Result<Bytes, RawPacketFailure> KestroControlLoop::write_raw_packet(Bytes packet) {
    auto [reply, answer] = reply_channel();
    if (!send(command::WriteRawPacket{std::move(packet), std::move(reply)})) {
        return fail(RawPacketFailure::ChannelClosed);
    }
    auto bytes = answer.recv();
    if (!bytes) return fail(RawPacketFailure::NoReply);
    return std::move(*bytes);
}

void KestroControlLoop::close() {
    cells_->stop_flag.store(true);
    bool poisoned = thread_handle_.poisoned();
    thread_handle_.with_lock([&](ThreadSlot& slot) {
        if (!slot.thread.joinable()) return;
        slot.thread.join();
        if (slot.end->aborted) {
            log::emit(log::Level::Error, log::control_loop_target, [&] {
                return std::string(poisoned ? "Failed to join control loop thread (poisoned): "
                                            : "Failed to join control loop thread: ") +
                       "Any { .. }";
            });
        }
    });
}

}  // namespace kestro::control_loop
