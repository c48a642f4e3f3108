#include "src/control_loop/loop_thread.hpp"

#include <exception>
#include <random>
#include <vector>

#include "src/control_loop/read_pos.hpp"

namespace kestro::control_loop {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Loop {
public:
    explicit Loop(LoopTask& task) : task_(task), start_(Clock::now()) {
        last_tick_ = last_publish_ = start_;
    }

    void cycle() {
        for (;;) {
            next_event();
            if (task_.cells->stop_flag.load()) break;
        }
        drain();
    }

private:
    // Waits for the next tick or command, whichever comes first, and serves it. When both
    // are ready, either may go first, with equal chance, so neither can starve the other.
    void next_event() {
        if (!pending_) {
            auto command = task_.commands.recv_until(next_tick_);
            if (command) {
                pending_.emplace(std::move(*command));
            } else if (command.error() == RecvError::Closed) {
                std::this_thread::sleep_until(next_tick_);  // nobody can send: just keep time
            }
        }
        bool tick_due = Clock::now() >= next_tick_;
        if (pending_ && (!tick_due || coin_(random_) == 0)) {
            serve_command();
        } else if (tick_due) {
            tick();
        }
    }

    void tick() {
        Clock::time_point now = Clock::now();
        if (StatsCell* stats = task_.cells->last_stats.get()) {
            double period = std::chrono::duration<double>(now - last_tick_).count();
            stats->with_healthy_lock([&](StatsStore& s) { s.add_period(period); });
            last_tick_ = now;
        }
        auto reading = read_pos(task_.controller, task_.allowed_retries);
        task_.cells->last_position.with_healthy_lock([&](auto& value) { value = std::move(reading); });
        if (task_.cells->last_stats) record_read(now);
        // Missed ticks stay due, so they are delivered back to back until the schedule is
        // caught up; none is merged or skipped.
        next_tick_ = start_ + static_cast<std::int64_t>(++ticks_) * task_.period;
    }

    void record_read(Clock::time_point tick_start) {
        read_buffer_.push_back(seconds_since(tick_start));
        if (Clock::now() - last_publish_ <= *task_.stats_pub_period) return;
        StatsCell& stats = *task_.cells->last_stats;
        stats.with_healthy_lock([&](StatsStore& s) { s.add_read_dt(read_buffer_); });
        stats.with_healthy_lock([&](StatsStore& s) { s.add_write_dt(write_buffer_); });
        read_buffer_.clear();
        write_buffer_.clear();
        last_publish_ = Clock::now();
    }

    void serve_command() {
        Clock::time_point start = Clock::now();
        MotorCommand command = std::move(*pending_);
        pending_.reset();
        // Failures are dropped: request commands have already answered or closed their reply.
        bool handled = handle(std::move(command));
        if (handled && task_.cells->last_stats) write_buffer_.push_back(seconds_since(start));
    }

    bool handle(MotorCommand command) {
        return handle_commands(task_.controller, task_.cells->last_torque, std::move(command),
                               task_.allowed_retries)
            .has_value();
    }

    // After the stop flag: every command still queued is executed, unmeasured, without ticks.
    void drain() {
        if (pending_) {
            handle(std::move(*pending_));
            pending_.reset();
        }
        while (auto command = task_.commands.try_recv()) handle(std::move(*command));
    }

    LoopTask& task_;
    const Clock::time_point start_;
    Clock::time_point next_tick_ = start_;  // the first tick is due at once
    std::uint64_t ticks_ = 0;
    Clock::time_point last_tick_;
    Clock::time_point last_publish_;
    std::vector<double> read_buffer_;
    std::vector<double> write_buffer_;
    std::optional<MotorCommand> pending_;
    std::minstd_rand random_{std::random_device{}()};
    std::uniform_int_distribution<int> coin_{0, 1};
};

}  // namespace

void run(LoopTask task, LoopThreadEnd& end) {
    // Counted as aborted unless the loop returns. A forced unwind (a finalising interpreter ends
    // a thread that asks it for its lock) is no std::exception: it passes through here and goes
    // on, still releasing the queue and the controller on its way out.
    end.aborted = true;
    try {
        Loop(task).cycle();
        end.aborted = false;
    } catch (const std::exception&) {
        // An internal fault ends the loop like a normal exit would: leaving here releases the
        // queue (so producers fail instead of waiting) and then the controller.
    }
}

}  // namespace kestro::control_loop
