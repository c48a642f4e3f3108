// Switching the servos' torque. A servo's goal register keeps its value while torque is off,
// whoever turns the shaft meanwhile, so torque on would drive a servo turned by hand back to an
// old goal at full speed. Torque on therefore first sets each servo's goal to where it stands,
// unless this controller gave it a goal since its torque last went off: that goal is one the
// caller asked for, and moving to it on enable is how a caller moves on enable.
#include <algorithm>

#include "common/text.hpp"
#include "servo_bus/servo/feetech/shared_operations.hpp"
#include "src/controller/controller.hpp"

namespace kestro::controller {
namespace {

using servo_bus::SerialPort;
namespace feetech_servo = servo_bus::feetech_servo;

constexpr std::span<const std::uint8_t> NO_SERVOS{};

// The ids of one group whose pose is held, each once.
using HeldIds = InlineVector<std::uint8_t, SERVOS.size()>;

}  // namespace

Outcome<void> KestroMotorController::set_torque_on_ids(std::span<const std::uint8_t> ids,
                                                       bool enable) {
    std::vector<std::uint8_t> arm_ids;
    std::vector<std::uint8_t> nose_ids;
    for (std::uint8_t id : ids) {
        if (const ServoInfo* servo = find_servo(id)) {
            (is_arm(*servo) ? arm_ids : nose_ids).push_back(id);
        }
    }
    return switch_torque(ServoGroups{arm_ids, nose_ids}, enable);
}

Outcome<void> KestroMotorController::set_all_torque(bool enable) {
    return switch_torque(SERVO_GROUPS, enable);
}

Outcome<void> KestroMotorController::set_arm_torque(bool enable) {
    return switch_torque(ServoGroups{std::span(ARM_IDS), NO_SERVOS}, enable);
}

Outcome<void> KestroMotorController::set_nose_torque(bool enable) {
    return switch_torque(ServoGroups{NO_SERVOS, std::span(NOSE_IDS)}, enable);
}

Outcome<void> KestroMotorController::switch_torque(const ServoGroups& groups, bool enable) {
    // Ids that address no servo need no bus, so they succeed even on a neck-only controller.
    if (std::ranges::all_of(groups, [](auto ids) { return ids.empty(); })) return {};
    KESTRO_TRY_ASSIGN(SerialPort* const port, serial());
    if (enable) {
        KESTRO_TRY(hold_pose(*port, groups));
    } else {
        // Before the write: should it fail half-way, a pose held on the next torque on is
        // never wrong.
        for (auto ids : groups) note_goals(ids, false);
    }
    for (auto ids : groups) {
        if (ids.empty()) continue;
        KESTRO_TRY(feetech_servo::sync_write_torque_enable(feetech_, *port, ids,
                                                           std::vector<bool>(ids.size(), enable)));
    }
    return {};
}

Outcome<void> KestroMotorController::hold_pose(SerialPort& port, const ServoGroups& groups) {
    std::array<HeldIds, std::tuple_size_v<ServoGroups>> held;
    std::array<servo_bus::GroupValues<std::int16_t>, std::tuple_size_v<ServoGroups>> present;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (std::uint8_t id : groups[g]) {
            if (!goal_given(id) && std::ranges::find(held[g], id) == held[g].end()) {
                held[g].push_back(id);
            }
        }
        if (held[g].empty()) continue;
        // Raw counts, so that the goal is exactly the position read.
        auto read = feetech_servo::sync_read_raw_present_position(feetech_, port, held[g]);
        if (!read) {
            ControllerError error(read.error());
            return fail(error.add_note("torque not enabled: present positions of servos " +
                                       text::bracketed(held[g]) + " could not be read"));
        }
        present[g] = *read;
    }
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (held[g].empty()) continue;
        KESTRO_TRY(feetech_servo::sync_write_raw_goal_position(feetech_, port, held[g], present[g]));
        note_goals(held[g], true);
    }
    return {};
}

bool KestroMotorController::goal_given(std::uint8_t id) const {
    const ServoInfo* servo = find_servo(id);
    return servo != nullptr && goal_given_[servo_index(*servo)];
}

void KestroMotorController::note_goals(std::span<const std::uint8_t> ids, bool given) {
    for (std::uint8_t id : ids) {
        if (id == servo_bus::InstructionPacketFeetech::BROADCAST_ID) {
            goal_given_.fill(given);
        } else if (const ServoInfo* servo = find_servo(id)) {
            goal_given_[servo_index(*servo)] = given;
        }
    }
}

}  // namespace kestro::controller
