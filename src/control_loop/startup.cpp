// Bringing a torso up: every motor must answer, the servos must see a stable supply, they are
// rebooted, and a first full reading is taken before the loop thread starts.
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "common/deadline.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "src/control_loop/control_loop.hpp"
#include "src/control_loop/log_target.hpp"
#include "src/control_loop/read_pos.hpp"
#include "src/control_loop/retry.hpp"

namespace kestro::control_loop {
namespace {

using namespace std::chrono_literals;
using controller::KestroMotorController;

constexpr std::uint8_t STABLE_VOLTAGE = 110;  // raw, 0.1 V: 11.0 V
constexpr auto VOLTAGE_POLL = 100ms;
constexpr auto REBOOT_TIMEOUT = 1s;

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Names of the servos that did not answer, in the order of `missing`.
std::vector<std::string> servo_names(const std::vector<std::uint8_t>& missing) {
    std::vector<std::string> result;
    for (std::uint8_t id : missing) result.push_back(controller::servo_name(id));
    return result;
}

// Every step below checks `cancel` after its bus work: a stop request then outranks whatever
// that work found, since an incomplete check may have failed only because it was cut short.
Result<void, MotorError> check_motors(KestroMotorController& controller, const CancelToken& cancel) {
    if (controller.has_serial_port()) {
        auto missing = controller.check_missing_ids(cancel);
        if (cancel.requested()) return fail(Interrupted{});
        if (missing.size() == controller::SERVO_IDS.size()) return fail(NoMotorsDetected{});
        if (!missing.empty()) return fail(MissingMotors{servo_names(missing)});
    }
    auto missing_neck = controller.check_missing_neck_motors(cancel);
    if (cancel.requested()) return fail(Interrupted{});
    if (!missing_neck.empty()) return fail(MissingMotors{missing_neck});
    return {};
}

Result<std::array<std::uint8_t, 7>, MotorError> read_voltages(KestroMotorController& controller,
                                                              std::uint64_t allowed_retries,
                                                              const CancelToken& cancel) {
    auto voltages =
        with_retry([&] { return controller.read_all_voltages(); }, allowed_retries, cancel);
    if (cancel.requested()) return fail(Interrupted{});
    if (!voltages) return fail(CommunicationError{});
    return *voltages;
}

// Waits, polling every 100 ms, until every servo reads at least 11.0 V, then reboots them.
Result<void, MotorError> wait_for_voltage(KestroMotorController& controller,
                                          const LoopConfig& config, const CancelToken& cancel) {
    log::emit(log::Level::Info, LOG_TARGET,
              [] { return std::string("Waiting for voltage to be stable at 12V..."); });
    KESTRO_TRY_ASSIGN(auto voltages, read_voltages(controller, config.allowed_retries(), cancel));
    const Deadline deadline(config.voltage_rampup_timeout());
    auto lowest = [&] { return *std::min_element(voltages.begin(), voltages.end()); };
    while (lowest() < STABLE_VOLTAGE && !deadline.expired()) {
        if (!sleep_for(VOLTAGE_POLL, cancel)) return fail(Interrupted{});
        KESTRO_TRY_ASSIGN(voltages, read_voltages(controller, config.allowed_retries(), cancel));
    }
    if (lowest() < STABLE_VOLTAGE) {
        return fail(VoltageRampupTimeout{config.voltage_rampup_timeout(), lowest()});
    }
    log::emit(log::Level::Info, LOG_TARGET, [&] {
        return "Voltage is stable at ~12V: " + text::bracketed(voltages) + " (took " +
               text::duration(deadline.elapsed()) + ")";
    });
    auto rebooted = controller.reboot(REBOOT_TIMEOUT, cancel);
    if (cancel.requested()) return fail(Interrupted{});
    if (!rebooted) return fail(CommunicationError{});
    return {};
}

Result<bool, MotorError> read_torque(KestroMotorController& controller, std::uint64_t allowed_retries,
                                     const CancelToken& cancel) {
    if (!controller.has_serial_port()) return false;
    auto torque =
        with_retry([&] { return controller.is_torque_enabled(); }, allowed_retries, cancel);
    if (cancel.requested()) return fail(Interrupted{});
    if (!torque) return fail(CommunicationError{});
    return *torque;
}

}  // namespace

ControllerFactory socketcan_controller_factory() {
    return [](const std::optional<std::string>& serialport, const std::string& can_bus) {
        return KestroMotorController::create(serialport, can_bus);
    };
}

Result<std::unique_ptr<KestroControlLoop>, MotorError> KestroControlLoop::start(
    const LoopConfig& config, const ControllerFactory& factory, const CancelToken& cancel) {
    auto [command_tx, command_rx] = bounded_channel<MotorCommand>(COMMAND_QUEUE_CAPACITY);
    const auto& serialport = config.serialport();

    if (serialport && !path_exists(*serialport)) return fail(PortNotFound{*serialport});
    // The controller's own text is not passed on: callers get one hint for every open failure.
    auto controller = factory(serialport, config.can_bus());
    if (!controller) return fail(PortOpenFailed{serialport.value_or("")});

    KESTRO_TRY(check_motors(*controller, cancel));
    if (serialport) KESTRO_TRY(wait_for_voltage(*controller, config, cancel));
    auto motor_name_id = controller::get_motor_name_id();
    auto reading = read_pos(*controller, config.allowed_retries(), cancel);
    if (cancel.requested()) return fail(Interrupted{});
    KESTRO_TRY_ASSIGN(const KestroTorsoPosition first_reading, std::move(reading));
    KESTRO_TRY_ASSIGN(const bool torque,
                      read_torque(*controller, config.allowed_retries(), cancel));
    // Last, so that the loop's first tick follows at once and keeps the motors fed.
    if (const auto& units = config.neck_watchdog_units()) {
        if (!controller->set_neck_timeout(*units)) return fail(CommunicationError{});
    }

    auto cells = std::make_shared<LoopCells>(first_reading, torque,
                                             config.stats_pub_period().has_value(),
                                             controller->health());
    std::unique_ptr<KestroControlLoop> loop(
        new KestroControlLoop(std::move(command_tx), cells, std::move(motor_name_id)));
    auto end = std::make_shared<LoopThreadEnd>();
    try {
        std::thread thread(run,
                           LoopTask{std::move(*controller), std::move(command_rx),
                                    config.read_position_loop_period(), config.allowed_retries(),
                                    config.stats_pub_period(), cells},
                           end);
        loop->thread_handle_.with_lock([&](ThreadSlot& slot) {
            slot.thread = std::move(thread);
            slot.end = end;
        });
    } catch (const std::system_error&) {
        // No thread can be had: an internal fault, as for any other broken platform promise.
        throw std::runtime_error("failed to spawn thread");
    }
    return loop;
}

}  // namespace kestro::control_loop
