// What the torso's devices last said of themselves, kept from the replies the controller
// receives anyway: nothing is sent for it. The servos report their faults in the error byte of
// every status packet; the neck motors their state, temperatures, velocity and torque in every
// feedback frame.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "can_motor/damiao/error.hpp"
#include "can_motor/damiao/mit.hpp"
#include "common/result.hpp"
#include "servo_bus/feetech_protocol/reply_observer.hpp"
#include "src/controller/motor_layout.hpp"

namespace kestro::controller {

// Wall-clock seconds since the epoch, as Python's time.time() counts them.
double wall_clock_seconds();

// One neck motor's last feedback.
struct NeckState {
    std::size_t joint = 0;  // 0 yaw, 1 pitch, 2 roll
    can_motor::damiao::MitState state{};
    double timestamp = 0.0;  // wall-clock seconds of the reply
};

struct DeviceHealth {
    std::optional<double> last_answer;  // wall-clock seconds
    std::uint32_t consecutive_failures = 0;  // failed exchanges in a row
    std::optional<std::string> last_error;   // kept after the device answers again
    std::uint8_t servo_error_byte = 0;       // a servo's, from its last status packet
    std::optional<NeckState> neck_state;     // a neck motor's last feedback
};

// Devices are numbered in the motor layout's order: the seven servos, then the neck joints.
inline constexpr std::size_t DEVICE_COUNT = SERVOS.size() + NECK_JOINT_NAMES.size();
constexpr std::size_t neck_device(std::size_t joint) { return SERVOS.size() + joint; }
constexpr bool is_neck_device(std::size_t device) { return device >= SERVOS.size(); }
// "right_arm_pitch", "neck_yaw", ...
std::string_view device_name(std::size_t device);
// How a person is told which device: "servo 3 (right_arm_pitch)", "neck_yaw".
std::string device_label(std::size_t device);

// The names of the faults `device` reports now: a servo's error flags (input_voltage,
// angle_sensor, overheat, over_current, overload), a neck motor's state while it is a fault.
std::vector<std::string> faults(std::size_t device, const DeviceHealth& health);

struct TorsoHealth {
    std::array<DeviceHealth, DEVICE_COUNT> devices{};
    // The control loop's counters; 0 on a controller's own snapshot.
    std::uint64_t ticks = 0;
    std::uint64_t failed_ticks = 0;
    std::uint64_t failed_commands = 0;  // commands that failed on the loop's thread
    double max_tick_lag = 0.0;          // s behind schedule, the most seen
};

// Keeps a TorsoHealth from the replies the controller receives, and logs a Warning when a
// device starts to report a fault and an Info record when it stops: on change, never per read.
class HealthRecorder final : public servo_bus::ReplyObserver {
public:
    const TorsoHealth& health() const { return health_; }

    void on_status(std::uint8_t id, std::uint8_t error_byte) override;
    void on_reply_failure(std::uint8_t expected_id, const servo_bus::ServoBusError& error) override;
    // Every exchange with neck motor `joint` that awaits its feedback frame.
    void on_neck_reply(std::size_t joint,
                       const Result<can_motor::damiao::MitState, can_motor::damiao::Error>& reply);

private:
    // `now`: wall-clock seconds of the reply, read once for everything it updates.
    void answered(std::size_t device, double now);
    void failed(std::size_t device, std::string text);
    // The faults of `device` as one number, 0 for none, so that a change is seen cheaply.
    std::uint32_t fault_key(std::size_t device) const;
    void log_change(std::size_t device, std::uint32_t before);

    TorsoHealth health_;
};

}  // namespace kestro::controller
