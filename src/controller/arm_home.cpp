// Arm home calibration: the arms' current pose becomes their persistent zero. The servos
// report present = encoder − offset, so the new offset is the encoder position, present + old
// offset, written into each arm servo's EEPROM offset register.
#include <cmath>
#include <numbers>

#include "common/text.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {
namespace {

namespace sm40bl = servo_bus::sm40bl;

constexpr double PI = std::numbers::pi;
constexpr double TWO_PI = 2 * std::numbers::pi;

double wrap_to_pi(double radians) {
    while (radians > PI) radians -= TWO_PI;
    while (radians < -PI) radians += TWO_PI;
    return radians;
}

std::string signed_list(std::span<const double> values) {
    return text::bracketed(values, [](double v) { return text::signed_fixed(v, 4); });
}

}  // namespace

Outcome<std::array<double, 4>> KestroMotorController::set_arm_home(double verify_tol,
                                                                   const CancelToken& cancel) {
    if (!(verify_tol > 0)) {
        return fail(ControllerError("set_arm_home: verify_tol must be positive, got " +
                                    text::shortest(verify_tol)));
    }
    KESTRO_TRY_ASSIGN(servo_bus::SerialPort* const port, serial());
    servo_bus::SerialPort& bus = *port;
    const std::size_t arms = ARM_IDS.size();
    const std::vector<bool> all_off(arms, false);
    const std::vector<bool> all_on(arms, true);

    if (cancel.requested()) return fail(ControllerError::interrupted("set_arm_home"));
    note_goals(ARM_IDS, false);
    KESTRO_TRY(sm40bl::sync_write_torque_enable(feetech_, bus, ARM_IDS, all_off));
    KESTRO_TRY_ASSIGN(const auto present,
                      sm40bl::sync_read_present_position(feetech_, bus, ARM_IDS));
    KESTRO_TRY_ASSIGN(const auto prior_offsets, sm40bl::sync_read_offset(feetech_, bus, ARM_IDS));
    if (present.size() != arms || prior_offsets.size() != arms) {
        return fail(ControllerError("set_arm_home: incomplete arm response (present=" +
                                    std::to_string(present.size()) + " ids, offset=" +
                                    std::to_string(prior_offsets.size()) + " ids)"));
    }

    std::vector<double> new_offsets(arms);
    for (std::size_t k = 0; k < arms; ++k) {
        new_offsets[k] = wrap_to_pi(present[k] + prior_offsets[k]);
    }

    // The last point to stop: from the unlock to the lock the three writes always run
    // together, so that EEPROM is never left unlocked.
    if (cancel.requested()) return fail(ControllerError::interrupted("set_arm_home"));
    // The offset register is in EEPROM, which only takes writes while unlocked.
    KESTRO_TRY(sm40bl::sync_write_lock(feetech_, bus, ARM_IDS, all_off));
    KESTRO_TRY(sm40bl::sync_write_offset(feetech_, bus, ARM_IDS, new_offsets));
    KESTRO_TRY(sm40bl::sync_write_lock(feetech_, bus, ARM_IDS, all_on));

    KESTRO_TRY_ASSIGN(const auto check,
                      sm40bl::sync_read_present_position(feetech_, bus, ARM_IDS));
    if (check.size() != arms) {
        return fail(ControllerError("set_arm_home: verify read returned " +
                                    std::to_string(check.size()) + " values (expected 4)"));
    }
    double worst = 0.0;
    for (double value : check) {
        if (std::fabs(value) > worst) worst = std::fabs(value);
    }
    if (worst > verify_tol) {
        return fail(ControllerError(
            "set_arm_home: verify failed \u2014 arm IDs " + text::bracketed(ARM_IDS) +
            " now reading " + signed_list(check) + " rad (expected ~0 within " +
            text::fixed(verify_tol, 4) +
            "). The Feetech offset sign convention on this hardware may differ from the assumed "
            "`present = encoder - offset`. EEPROM has been left in the new state; restore "
            "manually using prior_offsets " +
            signed_list(prior_offsets) + ", new_offsets " + signed_list(new_offsets) + "."));
    }
    return std::array{check[0], check[1], check[2], check[3]};
}

}  // namespace kestro::controller
