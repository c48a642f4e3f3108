// The state the loop thread shares with the loop object: the stop flag and the three cells
// through which the thread publishes what it read, the torque state and timing statistics.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "common/result.hpp"
#include "src/control_loop/motor_error.hpp"
#include "src/control_loop/shared_cell.hpp"
#include "src/control_loop/torso_position.hpp"
#include "src/controller/health.hpp"

namespace kestro::control_loop {

// The statistics keep only this many of the most recent samples per list, so that a long run
// neither grows without limit nor makes each query copy its whole history.
inline constexpr std::size_t STATS_SAMPLE_LIMIT = 10'000;

// The most recent STATS_SAMPLE_LIMIT samples, oldest first. Its room is taken once, up front,
// so that adding a sample on every tick never allocates.
class SampleWindow {
public:
    SampleWindow() { samples_.reserve(STATS_SAMPLE_LIMIT); }

    void add(double value) {
        if (samples_.size() < STATS_SAMPLE_LIMIT) {
            samples_.push_back(value);
            return;
        }
        samples_[oldest_] = value;
        oldest_ = (oldest_ + 1) % STATS_SAMPLE_LIMIT;
    }

    std::vector<double> in_order() const {
        std::vector<double> out(samples_.begin() + static_cast<std::ptrdiff_t>(oldest_), samples_.end());
        out.insert(out.end(), samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(oldest_));
        return out;
    }

private:
    std::vector<double> samples_;
    std::size_t oldest_ = 0;  // where the next sample goes once the window is full
};

class StatsStore {
public:
    void add_period(double seconds) { period_.add(seconds); }
    void add_read_dt(std::span<const double> seconds) { for (double s : seconds) read_dt_.add(s); }
    void add_write_dt(std::span<const double> seconds) { for (double s : seconds) write_dt_.add(s); }

    ControlLoopStats snapshot() const {
        return {period_.in_order(), read_dt_.in_order(), write_dt_.in_order()};
    }

private:
    SampleWindow period_;
    SampleWindow read_dt_;
    SampleWindow write_dt_;
};

using PositionCell = SharedCell<Result<KestroTorsoPosition, MotorError>>;
using StatsCell = SharedCell<StatsStore>;
using TorqueCell = SharedCell<Result<bool, MotorError>>;
using HealthCell = SharedCell<controller::TorsoHealth>;

struct LoopCells {
    LoopCells(KestroTorsoPosition first_reading, bool torque_enabled, bool with_stats,
              const controller::TorsoHealth& health)
        : last_position(first_reading),
          last_torque(torque_enabled),
          last_stats(with_stats ? std::make_unique<StatsCell>(StatsStore{}) : nullptr),
          health(health) {}

    std::atomic<bool> stop_flag{false};
    // Set by the loop thread as its first act, so that a call made on that thread (from a log
    // handler) can tell that it must not wait for the thread.
    std::atomic<std::thread::id> loop_thread_id{};
    PositionCell last_position;
    TorqueCell last_torque;
    std::unique_ptr<StatsCell> last_stats;  // only when statistics are enabled
    // What the devices said of themselves, with the loop's counters: published after every
    // tick and command, so that a query never waits for the loop thread.
    HealthCell health;
};

}  // namespace kestro::control_loop
