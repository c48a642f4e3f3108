#include "src/controller/health.hpp"

#include <chrono>

#include "can_motor/damiao/status.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "src/controller/log_target.hpp"

namespace kestro::controller {
namespace {

namespace damiao = can_motor::damiao;

// The device of servo `id`; none for an id no servo has.
std::optional<std::size_t> servo_device(std::uint8_t id) {
    const ServoInfo* servo = find_servo(id);
    if (servo == nullptr) return std::nullopt;
    return servo_index(*servo);
}

}  // namespace

double wall_clock_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string_view device_name(std::size_t device) {
    return is_neck_device(device) ? NECK_JOINT_NAMES[device - SERVOS.size()]
                                  : SERVOS[device].name;
}

std::string device_label(std::size_t device) {
    if (is_neck_device(device)) return std::string(device_name(device));
    return "servo " + std::to_string(SERVOS[device].id) + " (" + std::string(device_name(device)) +
           ")";
}

std::vector<std::string> faults(std::size_t device, const DeviceHealth& health) {
    std::vector<std::string> names;
    if (is_neck_device(device)) {
        if (health.neck_state && damiao::is_fault(health.neck_state->state.status)) {
            names.push_back(damiao::status_name(health.neck_state->state.status));
        }
    } else {
        for (servo_bus::StatusErrorFlag flag : servo_bus::error_flags(health.servo_error_byte)) {
            names.emplace_back(servo_bus::flag_name(flag));
        }
    }
    return names;
}

void HealthRecorder::on_status(std::uint8_t id, std::uint8_t error_byte) {
    const auto device = servo_device(id);
    if (!device) return;
    const std::uint32_t before = fault_key(*device);
    health_.devices[*device].servo_error_byte = error_byte;
    answered(*device, wall_clock_seconds());
    log_change(*device, before);
}

void HealthRecorder::on_reply_failure(std::uint8_t expected_id,
                                      const servo_bus::ServoBusError& error) {
    if (const auto device = servo_device(expected_id)) failed(*device, error.to_string());
}

void HealthRecorder::on_neck_reply(std::size_t joint,
                                   const Result<damiao::MitState, damiao::Error>& reply) {
    const std::size_t device = neck_device(joint);
    if (!reply) {
        failed(device, reply.error().to_string());
        return;
    }
    const std::uint32_t before = fault_key(device);
    const double now = wall_clock_seconds();
    health_.devices[device].neck_state = NeckState{joint, *reply, now};
    answered(device, now);
    log_change(device, before);
}

void HealthRecorder::answered(std::size_t device, double now) {
    DeviceHealth& health = health_.devices[device];
    health.last_answer = now;
    health.consecutive_failures = 0;
}

void HealthRecorder::failed(std::size_t device, std::string text) {
    DeviceHealth& health = health_.devices[device];
    ++health.consecutive_failures;
    health.last_error = std::move(text);
}

std::uint32_t HealthRecorder::fault_key(std::size_t device) const {
    const DeviceHealth& health = health_.devices[device];
    // Only the bits that carry a flag count: a servo setting another one reports no fault.
    if (!is_neck_device(device)) return health.servo_error_byte & servo_bus::STATUS_ERROR_FLAG_BITS;
    if (!health.neck_state || !damiao::is_fault(health.neck_state->state.status)) return 0;
    return health.neck_state->state.status;
}

void HealthRecorder::log_change(std::size_t device, std::uint32_t before) {
    const std::uint32_t now = fault_key(device);
    if (now == before) return;
    if (now == 0) {
        log::emit(log::Level::Info, LOG_TARGET,
                  [&] { return device_label(device) + " no longer reports a fault"; });
        return;
    }
    log::emit(log::Level::Warn, LOG_TARGET, [&] {
        const DeviceHealth& health = health_.devices[device];
        std::string message = device_label(device) + " reports " + text::joined(faults(device, health));
        if (health.neck_state) {
            const auto& state = health.neck_state->state;
            message += " (driver " + std::to_string(state.temp_driver) + " °C, motor " +
                       std::to_string(state.temp_motor) + " °C)";
        }
        return message;
    });
}

}  // namespace kestro::controller
