#include "src/control_loop/torso_position.hpp"

#include <chrono>

#include "common/text.hpp"

namespace kestro::control_loop {
namespace {

template <std::size_t N>
std::string list(const std::array<double, N>& values) {
    return text::bracketed(values, text::shortest);
}

// Mean in milliseconds, summed in list order; 0/0 (NaN) for an empty list.
double mean_ms(const std::vector<double>& samples) {
    double sum = -0.0;
    for (double s : samples) sum += s;
    return sum / static_cast<double>(samples.size()) * 1000.0;
}

}  // namespace

std::array<double, 7> servo_positions(const KestroTorsoPosition& p) {
    return {p.left_arm[0], p.left_arm[1], p.right_arm[0], p.right_arm[1],
            p.nose[0],     p.nose[1],     p.nose[2]};
}

void set_servo_positions(KestroTorsoPosition& p, std::span<const double, 7> values) {
    p.left_arm = {values[0], values[1]};
    p.right_arm = {values[2], values[3]};
    p.nose = {values[4], values[5], values[6]};
}

std::string repr(const KestroTorsoPosition& p) {
    return "KestroTorsoPosition(left_arm=" + list(p.left_arm) + ", right_arm=" +
           list(p.right_arm) + ", nose=" + list(p.nose) + ", neck=" + list(p.neck) +
           ", timestamp=" + text::fixed(p.timestamp, 3) + ")";
}

double unix_timestamp_now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    if (since_epoch.count() < 0) return 0.0;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
    return static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9;
}

std::string repr(const ControlLoopStats& stats) {
    return "ControlLoopStats(period=~" + text::fixed(mean_ms(stats.period), 2) +
           "ms, read_dt=~" + text::fixed(mean_ms(stats.read_dt), 2) + " ms, write_dt=~" +
           text::fixed(mean_ms(stats.write_dt), 2) + " ms)";
}

}  // namespace kestro::control_loop
