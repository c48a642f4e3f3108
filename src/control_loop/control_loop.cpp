#include "src/control_loop/control_loop.hpp"

#include <algorithm>

#include "common/log.hpp"
#include "src/control_loop/log_target.hpp"

namespace kestro::control_loop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto REPLY_TIMEOUT = 1s;

// Waits until `deadline` (none: without end) in slices of at most CANCEL_POLL_INTERVAL, polling
// `cancel` between them with no lock held. `attempt(slice_end)` gives the outcome once the wait
// is over, or nothing to go on. Nothing, too, when `cancel` asked to stop or `deadline` passed.
template <class Attempt>
auto wait_in_slices(std::optional<Clock::time_point> deadline, const CancelToken& cancel,
                    Attempt&& attempt) -> decltype(attempt(Clock::now())) {
    for (;;) {
        Clock::time_point slice_end = Clock::now() + CANCEL_POLL_INTERVAL;
        if (deadline) slice_end = std::min(slice_end, *deadline);
        if (auto outcome = attempt(slice_end)) return outcome;
        if (deadline && Clock::now() >= *deadline) return std::nullopt;
        if (cancel.requested()) return std::nullopt;
    }
}

// A copy of a cell's value; a poisoned cell is reported and copied all the same.
template <class T>
T copy_logging_poison(SharedCell<T>& cell, const char* poisoned_text) {
    auto [value, poisoned] = cell.copy();
    if (poisoned) log::emit(log::Level::Error, LOG_TARGET, [&] { return std::string(poisoned_text); });
    return value;
}

}  // namespace

KestroControlLoop::KestroControlLoop(Sender<MotorCommand> command_tx,
                                     std::shared_ptr<LoopCells> cells,
                                     std::unordered_map<std::string, std::uint8_t> motor_name_id)
    : command_tx_(std::move(command_tx)),
      cells_(std::move(cells)),
      motor_name_id_(std::move(motor_name_id)) {}

KestroControlLoop::~KestroControlLoop() {
    if (in_forked_child()) {
        // The thread handle names the parent's thread: joining or detaching it here would act
        // on memory the child's own threads may reuse. It is left alone, for good.
        thread_handle_.with_lock(
            [](ThreadSlot& slot) { (void)new std::thread(std::move(slot.thread)); });
        return;
    }
    (void)close();  // without a cancel check, close cannot fail
    // Released on its own thread (by a log handler's last reference), the loop cannot be
    // waited for: the thread, already asked to stop, ends by itself.
    thread_handle_.with_lock([](ThreadSlot& slot) {
        if (slot.thread.joinable()) slot.thread.detach();
    });
}

bool KestroControlLoop::on_loop_thread() const {
    return cells_->loop_thread_id.load() == std::this_thread::get_id();
}

Result<void, WaitFailure> KestroControlLoop::send(MotorCommand command, const CancelToken& cancel) {
    const bool own_thread = on_loop_thread();
    auto status = wait_in_slices(std::nullopt, cancel,
                                 [&](Clock::time_point slice_end) -> std::optional<SendStatus> {
        SendStatus sent = command_tx_.send_until(command, own_thread ? Clock::now() : slice_end);
        if (sent == SendStatus::Full && !own_thread) return std::nullopt;
        return sent;
    });
    if (!status) return fail(WaitFailure::Interrupted);
    if (*status == SendStatus::Full) return fail(WaitFailure::OwnThread);
    if (*status == SendStatus::Closed) return fail(WaitFailure::ChannelClosed);
    return {};
}

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

controller::TorsoHealth KestroControlLoop::get_health() {
    return copy_logging_poison(cells_->health, "health mutex was poisoned");
}

template <class T>
Result<T, WaitFailure> KestroControlLoop::request(MotorCommand command, Receiver<T>& answer,
                                                 std::optional<std::chrono::nanoseconds> timeout,
                                                 const CancelToken& cancel) {
    // Only the loop thread could answer: it would wait on itself.
    if (on_loop_thread()) return fail(WaitFailure::OwnThread);
    KESTRO_TRY(send(std::move(command), cancel));
    std::optional<Clock::time_point> deadline;
    if (timeout) deadline = Clock::now() + *timeout;
    auto reply = wait_in_slices(deadline, cancel,
                                [&](Clock::time_point slice_end) -> std::optional<Result<T, RecvError>> {
        auto received = answer.recv_until(slice_end);
        if (!received && received.error() == RecvError::Timeout) return std::nullopt;
        return received;
    });
    // A stop request leaves the command queued: the loop performs it and drops the answer.
    if (!reply) return fail(cancel.requested() ? WaitFailure::Interrupted : WaitFailure::NoReply);
    if (!*reply) return fail(WaitFailure::NoReply);
    return std::move(**reply);
}

Result<Bytes, WaitFailure> KestroControlLoop::async_read_raw_bytes(std::uint8_t id,
                                                                   std::uint8_t address,
                                                                   std::uint8_t length,
                                                                   const CancelToken& cancel) {
    auto [reply, answer] = reply_channel();
    // The bound covers the wait behind other commands and ticks, and the read's retries.
    return request(command::ReadRawBytes{id, address, length, std::move(reply)}, answer,
                   REPLY_TIMEOUT, cancel);
}

Result<Bytes, WaitFailure> KestroControlLoop::write_raw_packet(Bytes packet, const CancelToken& cancel) {
    auto [reply, answer] = reply_channel();
    // No time-out: the loop always answers or drops the request within its own bounded write.
    return request(command::WriteRawPacket{std::move(packet), std::move(reply)}, answer,
                   std::nullopt, cancel);
}

Result<ClearedStates, WaitFailure> KestroControlLoop::clear_neck_faults(
    std::optional<std::size_t> index, const CancelToken& cancel) {
    auto [reply, answer] = reply_channel<ClearedStates>();
    return request(command::ClearNeckFaults{index, std::move(reply)}, answer, REPLY_TIMEOUT, cancel);
}

Result<void, WaitFailure> KestroControlLoop::close(const CancelToken& cancel) {
    if (in_forked_child()) return {};  // nothing of the loop runs here
    cells_->stop_flag.store(true);
    command_tx_.wake_receiver();
    if (on_loop_thread()) return {};
    bool poisoned = thread_handle_.poisoned();
    std::shared_ptr<LoopThreadEnd> end =
        thread_handle_.with_lock([](ThreadSlot& slot) { return slot.end; });
    if (end) {
        auto finished = wait_in_slices(std::nullopt, cancel, [&](Clock::time_point slice_end) {
            return end->wait_until(slice_end) ? std::optional(true) : std::nullopt;
        });
        if (!finished) return fail(WaitFailure::Interrupted);
    }
    thread_handle_.with_lock([&](ThreadSlot& slot) {
        if (!slot.thread.joinable()) return;
        slot.thread.join();  // the thread has finished: this returns at once
        if (slot.end->aborted()) {
            log::emit(log::Level::Error, LOG_TARGET, [&] {
                return std::string(poisoned ? "Failed to join control loop thread (poisoned): "
                                            : "Failed to join control loop thread: ") +
                       "Any { .. }";
            });
        }
    });
    return {};
}

}  // namespace kestro::control_loop
