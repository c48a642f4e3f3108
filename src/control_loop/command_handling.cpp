#include "src/control_loop/command_handling.hpp"

#include "src/control_loop/retry.hpp"

namespace kestro::control_loop {
namespace {

using controller::ControllerError;
using controller::KestroMotorController;
using controller::Outcome;
namespace cmd = command;

// Drops a value result: only success or failure matters to the loop.
template <class T>
Outcome<void> done(Outcome<T> result) {
    KESTRO_TRY(std::move(result));
    return {};
}

// Torque commands leave their outcome in `last_torque` for queries; only a full success counts.
Outcome<void> record_torque(TorqueCell& last_torque, Outcome<void> result, bool enabled) {
    if (result) last_torque.with_healthy_lock([&](auto& value) { value = enabled; });
    return result;
}

struct Handler {
    KestroMotorController& c;
    TorqueCell& last_torque;
    std::uint64_t allowed_retries;
    const CancelToken& stopping;

    Outcome<void> operator()(cmd::SetAllGoalPositions& p) {
        return c.set_all_goal_positions(servo_positions(p.positions));
    }
    Outcome<void> operator()(cmd::SetLeftArmPosition& p) {
        return c.set_arm_goal_positions(controller::LEFT_ARM_IDS, p.position);
    }
    Outcome<void> operator()(cmd::SetRightArmPosition& p) {
        return c.set_arm_goal_positions(controller::RIGHT_ARM_IDS, p.position);
    }
    Outcome<void> operator()(cmd::SetArmsPosition& p) {
        return c.set_arm_goal_positions(controller::ARM_IDS, p.position);
    }
    Outcome<void> operator()(cmd::SetNosePosition& p) { return c.set_nose_goal_positions(p.position); }
    Outcome<void> operator()(cmd::SetNeckPosition& p) { return done(c.set_neck_position(p.position)); }
    Outcome<void> operator()(cmd::SetNeckYawPosition& p) { return done(c.set_single_neck_joint(0, p.position)); }
    Outcome<void> operator()(cmd::SetNeckPitchPosition& p) { return done(c.set_single_neck_joint(1, p.position)); }
    Outcome<void> operator()(cmd::SetNeckRollPosition& p) { return done(c.set_single_neck_joint(2, p.position)); }
    Outcome<void> operator()(cmd::EnableNeck& p) { return c.enable_neck(p.enable); }
    Outcome<void> operator()(cmd::EnableTorque&) {
        return record_torque(last_torque, c.set_all_torque(true), true);
    }
    Outcome<void> operator()(cmd::EnableTorqueOnIds& p) {
        return record_torque(last_torque, c.set_torque_on_ids(p.ids, true), true);
    }
    Outcome<void> operator()(cmd::DisableTorque&) {
        return record_torque(last_torque, c.set_all_torque(false), false);
    }
    Outcome<void> operator()(cmd::DisableTorqueOnIds& p) {
        return record_torque(last_torque, c.set_torque_on_ids(p.ids, false), false);
    }
    Outcome<void> operator()(cmd::EnableArms& p) { return c.set_arm_torque(p.enable); }
    Outcome<void> operator()(cmd::EnableNose& p) { return c.set_nose_torque(p.enable); }
    Outcome<void> operator()(cmd::ReadRawBytes& p) {
        KESTRO_TRY_ASSIGN(auto bytes,
                          with_retry([&] { return c.read_raw_bytes(p.id, p.address, p.length); },
                                     allowed_retries, stopping));
        // A requester that already gave up is no failure of the read.
        (void)p.reply.send(std::move(bytes));
        return {};
    }
    Outcome<void> operator()(cmd::WriteRawBytes& p) { return c.write_raw_bytes(p.id, p.address, p.data); }
    Outcome<void> operator()(cmd::ClearNeckFaults& p) {
        ClearedStates cleared = c.clear_neck_faults(p.index);
        Outcome<void> outcome{};
        if (!cleared) outcome = fail(cleared.error());
        // The requester hears of a failure too; one that already gave up is no failure here.
        (void)p.reply.send(std::move(cleared));
        return outcome;
    }
    Outcome<void> operator()(cmd::WriteRawPacket& p) {
        auto reply = c.write_raw_packet(p.packet);
        if (!reply) return fail(ControllerError(reply.error().message()));
        if (!p.reply.send(std::move(*reply))) {
            return fail(ControllerError("raw packet reply not delivered: requester gone"));
        }
        return {};
    }
};

}  // namespace

Outcome<void> handle_commands(KestroMotorController& controller, TorqueCell& last_torque,
                              MotorCommand command, std::uint64_t allowed_retries,
                              const CancelToken& stopping) {
    // `command` is owned here, so a reply sender it carries goes when this returns: a
    // requester still waiting then sees the closed channel instead of waiting on.
    return std::visit(Handler{controller, last_torque, allowed_retries, stopping}, command);
}

}  // namespace kestro::control_loop
