// The loop thread: a periodic full read at start + k × period, the queued commands between
// reads, timing statistics, and after the stop flag the remaining commands.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <memory>
#include <optional>

#include "src/control_loop/channel.hpp"
#include "src/control_loop/loop_cells.hpp"
#include "src/control_loop/motor_command.hpp"
#include "src/controller/controller.hpp"

namespace kestro::control_loop {

// Everything the thread owns. The controller is declared first so that it is destroyed last:
// the queue is closed for producers before the buses are released.
struct LoopTask {
    controller::KestroMotorController controller;
    Receiver<MotorCommand> commands;
    std::chrono::nanoseconds period;
    std::uint64_t allowed_retries;
    std::optional<std::chrono::nanoseconds> stats_pub_period;
    std::shared_ptr<LoopCells> cells;
};

// How the thread ended. Shared with the loop object, which waits on it in slices (so that a
// person can interrupt the wait) before joining a thread that is known to be done.
class LoopThreadEnd {
public:
    // Called by the thread once it has released everything it owned.
    void finish(bool aborted);
    // True once the thread has finished; waits until `deadline` at the latest.
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    // A fault escaped the loop; the queue and buses were released anyway. Read after finishing.
    bool aborted() const { return aborted_; }

private:
    std::mutex mutex_;
    std::condition_variable finished_changed_;
    bool finished_ = false;
    bool aborted_ = false;
};

// The thread body. A fault never leaves it: it ends the loop, releases what the task owns
// and is recorded in `end`.
void run(LoopTask task, std::shared_ptr<LoopThreadEnd> end);

}  // namespace kestro::control_loop
