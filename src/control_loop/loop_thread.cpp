#include "src/control_loop/loop_thread.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <random>
#include <vector>

#include "src/control_loop/command_handling.hpp"
#include "src/control_loop/read_pos.hpp"

namespace kestro::control_loop {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The longest single wait of the loop thread. Waits toward a tick far away (a period of
// "hardly ever") are cut into such slices, so that no deadline reaches values a 32-bit time_t
// cannot hold; a slice that ends early only makes the loop look again.
constexpr auto LONGEST_WAIT = 1h;

// start + k × period, saturated: when that lies beyond what the clock can hold, the end of
// time, so that a huge period gives the first tick and no other.
Clock::time_point tick_time(Clock::time_point start, std::uint64_t k, std::chrono::nanoseconds period) {
    using Rep = Clock::duration::rep;
    constexpr Rep MOST = std::numeric_limits<Rep>::max();
    const Rep since_epoch = start.time_since_epoch().count();
    const auto count = static_cast<std::uint64_t>(period.count());
    if (count != 0 && k > static_cast<std::uint64_t>(MOST - since_epoch) / count) {
        return Clock::time_point::max();
    }
    return start + Clock::duration(static_cast<Rep>(k * count));
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Loop {
public:
    explicit Loop(LoopTask& task) : task_(task), start_(Clock::now()) {
        last_tick_ = last_publish_ = start_;
        // Room for as many durations as the statistics keep, taken once: a publication window
        // that holds more reads than the ones before (catch-up ticks) must not allocate.
        if (task_.cells->last_stats) {
            read_buffer_.reserve(STATS_SAMPLE_LIMIT);
            write_buffer_.reserve(STATS_SAMPLE_LIMIT);
        }
    }

    void cycle() {
        for (;;) {
            if (task_.cells->stop_flag.load()) break;
            next_event();
            if (task_.cells->stop_flag.load()) break;
        }
        drain();
    }

private:
    // Waits for the next tick or command, whichever comes first, and serves it. When both
    // are ready, either may go first, with equal chance, so neither can starve the other. The
    // choice is made before the command is taken, so a command set aside for a tick still
    // holds its queue slot. `close` wakes the wait, so a long period does not delay it.
    void next_event() {
        const Clock::time_point wait_end = std::min(next_tick_, Clock::now() + LONGEST_WAIT);
        Readiness ready = task_.commands.wait_until(wait_end);
        if (ready == Readiness::Closed) {
            // Nobody can send: keep time, looking at the stop flag now and then.
            std::this_thread::sleep_until(std::min(wait_end, Clock::now() + 10ms));
        }
        const bool tick_due = Clock::now() >= next_tick_;
        if (ready == Readiness::Ready && (!tick_due || coin_(random_) == 0)) {
            serve_command();
        } else if (tick_due) {
            tick();
        }
    }

    void tick() {
        Clock::time_point now = Clock::now();
        max_tick_lag_ = std::max(max_tick_lag_, std::chrono::duration<double>(now - next_tick_).count());
        if (StatsCell* stats = task_.cells->last_stats.get()) {
            double period = std::chrono::duration<double>(now - last_tick_).count();
            stats->with_healthy_lock([&](StatsStore& s) { s.add_period(period); });
            last_tick_ = now;
        }
        auto reading = read_pos(task_.controller, task_.allowed_retries, stopping_);
        if (!reading) ++failed_ticks_;
        task_.cells->last_position.with_healthy_lock([&](auto& value) { value = std::move(reading); });
        if (task_.cells->last_stats) record_read(now);
        // Missed ticks stay due, so they are delivered back to back until the schedule is
        // caught up; none is merged or skipped.
        next_tick_ = tick_time(start_, ++ticks_, task_.period);
        publish_health();
    }

    // The controller's record of the devices, with the loop's counters. Copying into the
    // cell's own strings reuses their room, so a tick does not allocate.
    void publish_health() {
        task_.cells->health.with_healthy_lock([&](controller::TorsoHealth& health) {
            health = task_.controller.health();
            health.ticks = ticks_;
            health.failed_ticks = failed_ticks_;
            health.failed_commands = failed_commands_;
            health.max_tick_lag = max_tick_lag_;
        });
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
        auto command = task_.commands.try_recv();  // the loop is the only consumer: it is there
        if (!command) return;
        // Failures are dropped: request commands have already answered or closed their reply.
        bool handled = handle(std::move(*command));
        if (handled && task_.cells->last_stats) write_buffer_.push_back(seconds_since(start));
        if (!handled) ++failed_commands_;
        publish_health();
    }

    bool handle(MotorCommand command) {
        return handle_commands(task_.controller, task_.cells->last_torque, std::move(command),
                               task_.allowed_retries, stopping_)
            .has_value();
    }

    // After the stop flag: every command still queued is executed, unmeasured, without ticks.
    void drain() {
        while (auto command = task_.commands.try_recv()) handle(std::move(*command));
    }

    LoopTask& task_;
    // Asks retries and their pauses to stop once `close` has been called, so that closing
    // takes one bus exchange at most, whatever the retry limit.
    const CancelToken stopping_{[cells = task_.cells.get()] { return cells->stop_flag.load(); }};
    const Clock::time_point start_;
    Clock::time_point next_tick_ = start_;  // the first tick is due at once
    std::uint64_t ticks_ = 0;
    std::uint64_t failed_ticks_ = 0;
    std::uint64_t failed_commands_ = 0;
    double max_tick_lag_ = 0.0;  // s
    Clock::time_point last_tick_;
    Clock::time_point last_publish_;
    std::vector<double> read_buffer_;
    std::vector<double> write_buffer_;
    std::minstd_rand random_{std::random_device{}()};
    std::uniform_int_distribution<int> coin_{0, 1};
};

}  // namespace

void LoopThreadEnd::finish(bool aborted) {
    std::lock_guard lock(mutex_);
    aborted_ = aborted;
    finished_ = true;
    finished_changed_.notify_all();
}

bool LoopThreadEnd::wait_until(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return finished_changed_.wait_until(lock, deadline, [&] { return finished_; });
}

void run(LoopTask task, std::shared_ptr<LoopThreadEnd> end) {
    task.cells->loop_thread_id.store(std::this_thread::get_id());
    // Reports the end once the task below has released the queue and the controller, also
    // when a forced unwind (a finalising interpreter ends a thread that asks it for its lock)
    // passes through: that is no std::exception, so it goes on, counted as aborted.
    struct Finish {
        LoopThreadEnd& end;
        bool aborted = true;
        ~Finish() { end.finish(aborted); }
    } finish{*end};
    LoopTask owned = std::move(task);
    try {
        Loop(owned).cycle();
        finish.aborted = false;
    } catch (const std::exception&) {
        // An internal fault ends the loop like a normal exit would: leaving here releases the
        // queue (so producers fail instead of waiting) and then the controller.
    }
}

}  // namespace kestro::control_loop
