// The state the loop thread shares with the loop object: the stop flag and the three cells
// through which the thread publishes what it read, the torque state and timing statistics.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <thread>

#include "common/result.hpp"
#include "src/control_loop/motor_error.hpp"
#include "src/control_loop/shared_cell.hpp"
#include "src/control_loop/torso_position.hpp"

namespace kestro::control_loop {

// The statistics keep only this many of the most recent samples per list, so that a long run
// neither grows without limit nor makes each query copy its whole history.
inline constexpr std::size_t STATS_SAMPLE_LIMIT = 10'000;

class StatsStore {
public:
    void add_period(double seconds) { add(period_, seconds); }
    void add_read_dt(std::span<const double> seconds) { for (double s : seconds) add(read_dt_, s); }
    void add_write_dt(std::span<const double> seconds) { for (double s : seconds) add(write_dt_, s); }

    ControlLoopStats snapshot() const {
        return {{period_.begin(), period_.end()},
                {read_dt_.begin(), read_dt_.end()},
                {write_dt_.begin(), write_dt_.end()}};
    }

private:
    static void add(std::deque<double>& samples, double value) {
        samples.push_back(value);
        if (samples.size() > STATS_SAMPLE_LIMIT) samples.pop_front();
    }

    std::deque<double> period_;
    std::deque<double> read_dt_;
    std::deque<double> write_dt_;
};

using PositionCell = SharedCell<Result<KestroTorsoPosition, MotorError>>;
using StatsCell = SharedCell<StatsStore>;
using TorqueCell = SharedCell<Result<bool, MotorError>>;

struct LoopCells {
    LoopCells(KestroTorsoPosition first_reading, bool torque_enabled, bool with_stats)
        : last_position(first_reading),
          last_torque(torque_enabled),
          last_stats(with_stats ? std::make_unique<StatsCell>(StatsStore{}) : nullptr) {}

    std::atomic<bool> stop_flag{false};
    // Set by the loop thread as its first act, so that a call made on that thread (from a log
    // handler) can tell that it must not wait for the thread.
    std::atomic<std::thread::id> loop_thread_id{};
    PositionCell last_position;
    TorqueCell last_torque;
    std::unique_ptr<StatsCell> last_stats;  // only when statistics are enabled
};

}  // namespace kestro::control_loop
