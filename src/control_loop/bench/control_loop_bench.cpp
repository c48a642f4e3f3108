// The control loop's cost and timing on a simulated torso whose devices answer at once:
// CPU time of the loop thread per tick, and how far each tick period strays from nominal.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <benchmark/benchmark.h>

#include "src/control_loop/control_loop.hpp"
#include "src/controller/tests/sim_torso.hpp"

namespace kestro::control_loop {

// Reads the loop thread's own CPU clock.
struct ControlLoopTestAccess {
    static double thread_cpu_seconds(KestroControlLoop& loop) {
        clockid_t clock{};
        loop.thread_handle_.with_lock([&](auto& slot) {
            pthread_getcpuclockid(slot.thread.native_handle(), &clock);
        });
        timespec now{};
        clock_gettime(clock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
};

namespace {

using namespace std::chrono_literals;

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

void run_loop(benchmark::State& state) {
    const auto hz = state.range(0);
    const std::chrono::nanoseconds period = std::chrono::nanoseconds(1s) / hz;
    controller::SimTorso torso = controller::SimTorso::start();
    auto config = LoopConfig::make(torso.servos->slave_path(), period, "can0", 5, 1h, 30s);
    if (!config) {
        state.SkipWithError(config.error().c_str());
        return;
    }
    auto factory = [&](const std::optional<std::string>& serialport, const std::string&) {
        return controller::KestroMotorController::create(serialport, torso.take_neck_transport());
    };
    auto loop = KestroControlLoop::start(*config, factory);
    if (!loop) {
        state.SkipWithError(to_string(loop.error()).c_str());
        return;
    }
    KestroControlLoop& running = **loop;
    double cpu_before = ControlLoopTestAccess::thread_cpu_seconds(running);
    std::size_t ticks_before = running.get_stats()->period.size();
    for (auto _ : state) std::this_thread::sleep_for(2s);
    double cpu = ControlLoopTestAccess::thread_cpu_seconds(running) - cpu_before;
    auto periods = running.get_stats()->period;
    periods.erase(periods.begin(), periods.begin() + static_cast<std::ptrdiff_t>(ticks_before + 1));

    std::vector<double> jitter;
    for (double p : periods) jitter.push_back(std::abs(p - std::chrono::duration<double>(period).count()));
    state.counters["ticks"] = static_cast<double>(periods.size());
    state.counters["cpu_us_per_tick"] = cpu / static_cast<double>(periods.size()) * 1e6;
    state.counters["jitter_median_us"] = percentile(jitter, 0.5) * 1e6;
    state.counters["jitter_p99_us"] = percentile(jitter, 0.99) * 1e6;
    state.counters["jitter_max_us"] = *std::max_element(jitter.begin(), jitter.end()) * 1e6;
}

BENCHMARK(run_loop)->Arg(100)->Arg(500)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kestro::control_loop

BENCHMARK_MAIN();
