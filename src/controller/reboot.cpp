// Rebooting the serial servos and waiting for each to answer again.
#include <algorithm>

#include "common/deadline.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "src/controller/controller.hpp"
#include "src/controller/log_target.hpp"

namespace kestro::controller {
namespace {

using namespace std::chrono_literals;

constexpr auto POLL_INTERVAL = 100ms;

}  // namespace

Outcome<void> KestroMotorController::reboot(std::chrono::nanoseconds timeout,
                                            const CancelToken& cancel) {
    if (!serial_port_) return {};
    // A servo comes back from a restart with torque off.
    note_goals(SERVO_IDS, false);
    for (std::uint8_t id : SERVO_IDS) {
        log::emit(log::Level::Warn, LOG_TARGET, [&] {
            return "Rebooting motor " + servo_name(id) + " (id=" + std::to_string(id) + ")";
        });
        // Whether the servo acknowledged does not matter; only a failed send ends the reboot.
        KESTRO_TRY(feetech_.reboot(*serial_port_, id));
    }

    std::vector<std::uint8_t> pending(SERVO_IDS.begin(), SERVO_IDS.end());
    const Deadline deadline(timeout);
    while (!pending.empty() && !deadline.expired()) {
        if (!sleep_for(POLL_INTERVAL, cancel)) return fail(ControllerError::interrupted("reboot"));
        std::erase_if(pending, [&](std::uint8_t id) {
            auto answered = feetech_.ping(*serial_port_, id);
            return answered && *answered;
        });
    }
    if (pending.empty()) return {};

    std::vector<std::string> silent;
    for (std::uint8_t id : pending) {
        log::emit(log::Level::Warn, LOG_TARGET, [&] {
            return "Motor " + servo_name(id) + " (id=" + std::to_string(id) +
                   ") did not respond after reboot within timeout";
        });
        silent.push_back(servo_name(id));
    }
    return fail(ControllerError("Some motors did not respond after reboot (" +
                                text::bracketed(silent, text::quoted) +
                                " - ids: " + text::bracketed(pending) + ")"));
}

}  // namespace kestro::controller
