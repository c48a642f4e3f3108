// Executes one queued command on the loop thread's controller.
#pragma once

#include <cstdint>
#include <memory>

#include "src/control_loop/loop_cells.hpp"
#include "src/control_loop/motor_command.hpp"
#include "src/controller/controller.hpp"

namespace kestro::control_loop {

// Success or the failing operation's error, which the loop drops: callers learn of failures
// only through a reply that never comes. Torque commands record their outcome in
// `last_torque`; request commands answer on their reply channel, or drop it unsent on failure.
// `stopping` ends retries at once: a loop being closed does not retry.
controller::Outcome<void> handle_commands(controller::KestroMotorController& controller,
                                          TorqueCell& last_torque, MotorCommand command,
                                          std::uint64_t allowed_retries,
                                          const CancelToken& stopping = {});

}  // namespace kestro::control_loop
