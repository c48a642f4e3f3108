// The controller's transactions with the seven serial servos. Both servo models share the
// register layout of everything here, so one group operation serves the arm group (SM40BL)
// and the nose group (STS3025BL) alike.
#include <thread>

#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {
namespace {

using namespace std::chrono_literals;
using servo_bus::FeetechProtocolHandler;
using servo_bus::SerialPort;

constexpr std::array<std::span<const std::uint8_t>, 2> GROUPS{std::span(ARM_IDS),
                                                             std::span(NOSE_IDS)};

// Reads one register of all seven servos: the arm group, then the nose group.
template <class T, class GroupRead>
Outcome<std::array<T, 7>> read_both_groups(const FeetechProtocolHandler& handler,
                                           SerialPort& port, GroupRead read) {
    std::array<T, 7> all{};
    std::size_t at = 0;
    for (std::span<const std::uint8_t> ids : GROUPS) {
        auto values = read(handler, port, ids);
        if (!values) return fail(ControllerError(values.error()));
        for (T value : *values) all[at++] = value;
    }
    return all;
}

Outcome<void> write_torque(const FeetechProtocolHandler& handler, SerialPort& port,
                           std::span<const std::uint8_t> ids, bool enable) {
    auto written = servo_bus::sm40bl::sync_write_torque_enable(
        handler, port, ids, std::vector<bool>(ids.size(), enable));
    if (!written) return fail(ControllerError(written.error()));
    return {};
}

Outcome<void> write_goals(const FeetechProtocolHandler& handler, SerialPort& port,
                          std::span<const std::uint8_t> ids, std::span<const double> radians) {
    auto written = servo_bus::sm40bl::sync_write_goal_position(handler, port, ids, radians);
    if (!written) return fail(ControllerError(written.error()));
    return {};
}

}  // namespace

std::vector<std::uint8_t> KestroMotorController::check_missing_ids(const CancelToken& cancel) {
    std::vector<std::uint8_t> missing;
    if (!serial_port_) return missing;
    for (std::uint8_t id : SERVO_IDS) {
        if (cancel.requested()) break;
        // A failed ping counts as a missing servo; the error itself is of no further use.
        auto answered = feetech_.ping(*serial_port_, id);
        if (!answered || !*answered) missing.push_back(id);
    }
    return missing;
}

Outcome<std::array<double, 7>> KestroMotorController::read_all_positions() {
    auto port = serial();
    if (!port) return fail(port.error());
    return read_both_groups<double>(feetech_, **port,
                                    servo_bus::sm40bl::sync_read_present_position);
}

Outcome<std::array<std::uint8_t, 7>> KestroMotorController::read_all_voltages() {
    auto port = serial();
    if (!port) return fail(port.error());
    return read_both_groups<std::uint8_t>(feetech_, **port,
                                          servo_bus::sm40bl::sync_read_present_voltage);
}

Outcome<bool> KestroMotorController::is_torque_enabled() {
    auto port = serial();
    if (!port) return fail(port.error());
    auto torque =
        read_both_groups<bool>(feetech_, **port, servo_bus::sm40bl::sync_read_torque_enable);
    if (!torque) return fail(torque.error());
    for (bool on : *torque) {
        if (!on) return false;
    }
    return true;
}

Outcome<void> KestroMotorController::set_torque_on_ids(std::span<const std::uint8_t> ids,
                                                       bool enable) {
    std::vector<std::uint8_t> arm_ids;
    std::vector<std::uint8_t> nose_ids;
    for (std::uint8_t id : ids) {
        if (id >= 1 && id <= 4) arm_ids.push_back(id);
        if (id >= 5 && id <= 7) nose_ids.push_back(id);
    }
    // Ids that address no servo need no bus, so they succeed even on a neck-only controller.
    for (const std::vector<std::uint8_t>& group : {arm_ids, nose_ids}) {
        if (group.empty()) continue;
        auto port = serial();
        if (!port) return fail(port.error());
        if (auto written = write_torque(feetech_, **port, group, enable); !written) return written;
    }
    return {};
}

Outcome<void> KestroMotorController::set_all_torque(bool enable) {
    auto port = serial();
    if (!port) return fail(port.error());
    for (std::span<const std::uint8_t> ids : GROUPS) {
        if (auto written = write_torque(feetech_, **port, ids, enable); !written) return written;
    }
    return {};
}

Outcome<void> KestroMotorController::set_arm_torque(bool enable) {
    auto port = serial();
    if (!port) return fail(port.error());
    return write_torque(feetech_, **port, ARM_IDS, enable);
}

Outcome<void> KestroMotorController::set_nose_torque(bool enable) {
    auto port = serial();
    if (!port) return fail(port.error());
    return write_torque(feetech_, **port, NOSE_IDS, enable);
}

Outcome<void> KestroMotorController::set_all_goal_positions(std::span<const double, 7> positions) {
    auto port = serial();
    if (!port) return fail(port.error());
    if (auto arms = write_goals(feetech_, **port, ARM_IDS, positions.first<4>()); !arms) {
        return arms;
    }
    return write_goals(feetech_, **port, NOSE_IDS, positions.last<3>());
}

Outcome<void> KestroMotorController::set_arm_goal_positions(std::span<const std::uint8_t> ids,
                                                            std::span<const double> positions) {
    auto port = serial();
    if (!port) return fail(port.error());
    return write_goals(feetech_, **port, ids, positions);
}

Outcome<void> KestroMotorController::set_nose_goal_positions(std::span<const double, 3> positions) {
    auto port = serial();
    if (!port) return fail(port.error());
    return write_goals(feetech_, **port, NOSE_IDS, positions);
}

Outcome<std::vector<std::uint8_t>> KestroMotorController::read_raw_bytes(std::uint8_t id,
                                                                         std::uint8_t address,
                                                                         std::uint8_t length) {
    auto port = serial();
    if (!port) return fail(port.error());
    auto bytes = feetech_.read(**port, id, address, length);
    if (!bytes) return fail(ControllerError(bytes.error()));
    return std::move(*bytes);
}

Outcome<void> KestroMotorController::write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                     std::span<const std::uint8_t> data) {
    auto port = serial();
    if (!port) return fail(port.error());
    auto written = feetech_.write(**port, id, address, data);
    if (!written) return fail(ControllerError(written.error()));
    return {};
}

Result<std::vector<std::uint8_t>, IoError> KestroMotorController::write_raw_packet(
    std::span<const std::uint8_t> data) {
    constexpr auto reply_window = 10ms;
    constexpr auto poll_interval = 5ms;

    if (!serial_port_) {
        return fail(IoError::custom(IoErrorKind::Unsupported, std::string(NO_SERIAL_PORT)));
    }
    SerialPort& port = *serial_port_;
    if (auto written = port.write_all(data); !written) return fail(written.error());
    if (auto drained = port.drain(); !drained) return fail(drained.error());

    auto waiting = port.bytes_to_read();
    auto start = std::chrono::steady_clock::now();
    while (waiting && *waiting == 0) {
        if (std::chrono::steady_clock::now() - start >= reply_window) return {};
        std::this_thread::sleep_for(poll_interval);
        waiting = port.bytes_to_read();
    }
    if (!waiting) return fail(waiting.error().to_io_error());

    // Only what had arrived when counted is read; later bytes stay queued.
    std::vector<std::uint8_t> reply(*waiting);
    if (auto read = port.read_exact(reply); !read) return fail(read.error());
    return reply;
}

}  // namespace kestro::controller
