// One full reading of the torso, and the loop's timing statistics: the values handed to Python.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

namespace kestro::control_loop {

struct KestroTorsoPosition {
    std::array<double, 2> left_arm{};   // rad: pitch, yaw
    std::array<double, 2> right_arm{};  // rad: pitch, yaw
    std::array<double, 3> nose{};       // rad: top, left, right
    std::array<double, 3> neck{};       // rad: yaw, pitch, roll
    double timestamp = 0.0;             // wall-clock seconds since the Unix epoch
};

// The seven servo positions in motor table order (left arm, right arm, nose), and back; the
// neck and the timestamp are not touched.
std::array<double, 7> servo_positions(const KestroTorsoPosition& position);
void set_servo_positions(KestroTorsoPosition& position, std::span<const double, 7> values);

// "KestroTorsoPosition(left_arm=[0.0, 0.0], ..., timestamp=12.000)".
std::string repr(const KestroTorsoPosition& position);

// Seconds since the Unix epoch with fraction; 0.0 when the clock reads before the epoch.
double unix_timestamp_now();

struct ControlLoopStats {
    std::vector<double> period;    // s between two ticks
    std::vector<double> read_dt;   // s per periodic read
    std::vector<double> write_dt;  // s per handled command
};

// "ControlLoopStats(period=~15.00ms, read_dt=~NaN ms, write_dt=~NaN ms)": the mean of each
// list in milliseconds; an empty list has no mean.
std::string repr(const ControlLoopStats& stats);

}  // namespace kestro::control_loop
