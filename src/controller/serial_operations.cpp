// The controller's transactions with the seven serial servos. Both servo models share the
// register layout of everything here, so one group operation serves the arm group (SM40BL)
// and the nose group (STS3025BL) alike.
#include <thread>

#include "common/deadline.hpp"
#include "servo_bus/servo/feetech/registers.hpp"
#include "servo_bus/servo/feetech/shared_operations.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {
namespace {

using namespace std::chrono_literals;
using servo_bus::FeetechProtocolHandler;
using servo_bus::SerialPort;

// Reads one register of all seven servos: the arm group, then the nose group.
template <class T, class GroupRead>
Outcome<std::array<T, 7>> read_both_groups(const FeetechProtocolHandler& handler,
                                           SerialPort& port, GroupRead read) {
    std::array<T, 7> all{};
    std::size_t at = 0;
    for (std::span<const std::uint8_t> ids : SERVO_GROUPS) {
        KESTRO_TRY_ASSIGN(const auto& values, read(handler, port, ids));
        for (T value : values) all[at++] = value;
    }
    return all;
}

// Whether a raw write of `data` from `address` on covers register `reg`.
bool covers(std::uint8_t address, std::span<const std::uint8_t> data, std::uint8_t reg) {
    return reg >= address && std::size_t{reg} - address < data.size();
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
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    return read_both_groups<double>(feetech_, *port,
                                    servo_bus::feetech_servo::sync_read_present_position);
}

Outcome<std::array<std::uint8_t, 7>> KestroMotorController::read_all_voltages() {
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    return read_both_groups<std::uint8_t>(feetech_, *port,
                                          servo_bus::feetech_servo::sync_read_present_voltage);
}

Outcome<bool> KestroMotorController::is_torque_enabled() {
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    KESTRO_TRY_ASSIGN(const auto torque,
                      read_both_groups<bool>(feetech_, *port,
                                             servo_bus::feetech_servo::sync_read_torque_enable));
    for (bool on : torque) {
        if (!on) return false;
    }
    return true;
}

Outcome<void> KestroMotorController::set_all_goal_positions(std::span<const double, 7> positions) {
    KESTRO_TRY(check_servo_goals(SERVO_IDS, positions));
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    KESTRO_TRY(send_goals(*port, ARM_IDS, positions.first<ARM_IDS.size()>()));
    return send_goals(*port, NOSE_IDS, positions.last<NOSE_IDS.size()>());
}

Outcome<void> KestroMotorController::set_arm_goal_positions(std::span<const std::uint8_t> ids,
                                                            std::span<const double> positions) {
    KESTRO_TRY(check_servo_goals(ids, positions));
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    return send_goals(*port, ids, positions);
}

Outcome<void> KestroMotorController::set_nose_goal_positions(std::span<const double, 3> positions) {
    KESTRO_TRY(check_servo_goals(NOSE_IDS, positions));
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    return send_goals(*port, NOSE_IDS, positions);
}

Outcome<void> KestroMotorController::send_goals(SerialPort& port, std::span<const std::uint8_t> ids,
                                                std::span<const double> radians) {
    KESTRO_TRY(servo_bus::feetech_servo::sync_write_goal_position(feetech_, port, ids, radians));
    note_goals(ids, true);
    return {};
}

Outcome<std::vector<std::uint8_t>> KestroMotorController::read_raw_bytes(std::uint8_t id,
                                                                         std::uint8_t address,
                                                                         std::uint8_t length) {
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    KESTRO_TRY_ASSIGN(auto bytes, feetech_.read(*port, id, address, length));
    return bytes;
}

Outcome<void> KestroMotorController::write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                     std::span<const std::uint8_t> data) {
    namespace feetech = servo_bus::feetech_registers;
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    const std::span one_id(&id, 1);
    // Torque off counts even when the write then fails: the servo may have taken it, and a
    // pose held on the next torque on is never wrong.
    if (covers(address, data, feetech::TORQUE_ENABLE.address) &&
        data[feetech::TORQUE_ENABLE.address - address] == 0) {
        note_goals(one_id, false);
    }
    KESTRO_TRY(feetech_.write(*port, id, address, data));
    if (covers(address, data, feetech::GOAL_POSITION.address) ||
        covers(address, data, feetech::GOAL_POSITION.address + 1)) {
        note_goals(one_id, true);
    }
    return {};
}

Result<std::vector<std::uint8_t>, IoError> KestroMotorController::write_raw_packet(
    std::span<const std::uint8_t> data) {
    constexpr auto REPLY_WINDOW = 10ms;
    constexpr auto POLL_INTERVAL = 5ms;

    if (!serial_port_) {
        return fail(IoError::custom(IoErrorKind::Unsupported, std::string(NO_SERIAL_PORT)));
    }
    SerialPort& port = *serial_port_;
    KESTRO_TRY(port.write_all(data));
    KESTRO_TRY(port.drain());

    auto waiting = port.bytes_to_read();
    const Deadline window(REPLY_WINDOW);
    while (waiting && *waiting == 0) {
        if (window.expired()) return {};
        std::this_thread::sleep_for(POLL_INTERVAL);
        waiting = port.bytes_to_read();
    }
    if (!waiting) return fail(waiting.error().to_io_error());

    // Only what had arrived when counted is read; later bytes stay queued.
    std::vector<std::uint8_t> reply(*waiting);
    KESTRO_TRY(port.read_exact(reply));
    return reply;
}

}  // namespace kestro::controller
