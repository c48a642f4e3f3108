// The commands that callers queue for the loop thread, one variant per request kind, in the
// order the Python class sends them. A command owns its payload; dropping a request command
// unhandled drops its reply sender, which its requester sees at once as a closed channel.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "src/control_loop/channel.hpp"
#include "src/control_loop/torso_position.hpp"
#include "src/controller/controller_error.hpp"
#include "src/controller/health.hpp"

namespace kestro::control_loop {

using Bytes = std::vector<std::uint8_t>;
using ReplySender = Sender<Bytes>;
using ReplyReceiver = Receiver<Bytes>;

// The states of the neck joints whose faults were cleared, or why that failed.
using ClearedStates = Result<std::vector<controller::NeckState>, controller::ControllerError>;

// A reply channel carries at most one message.
template <class T = Bytes>
std::pair<Sender<T>, Receiver<T>> reply_channel() { return bounded_channel<T>(1); }

namespace command {
struct SetAllGoalPositions { KestroTorsoPosition positions; };  // neck and timestamp unused
struct SetLeftArmPosition { std::array<double, 2> position; };
struct SetRightArmPosition { std::array<double, 2> position; };
struct SetArmsPosition { std::array<double, 4> position; };
struct SetNosePosition { std::array<double, 3> position; };
struct SetNeckPosition { std::array<double, 3> position; };  // yaw, pitch, roll
struct SetNeckYawPosition { double position; };
struct SetNeckPitchPosition { double position; };
struct SetNeckRollPosition { double position; };
struct EnableNeck { bool enable; };
struct EnableTorque {};
struct EnableTorqueOnIds { Bytes ids; };
struct DisableTorque {};
struct DisableTorqueOnIds { Bytes ids; };
struct EnableArms { bool enable; };
struct EnableNose { bool enable; };
struct ReadRawBytes { std::uint8_t id; std::uint8_t address; std::uint8_t length; ReplySender reply; };
struct WriteRawBytes { std::uint8_t id; std::uint8_t address; Bytes data; };
struct WriteRawPacket { Bytes packet; ReplySender reply; };
struct ClearNeckFaults { std::optional<std::size_t> index; Sender<ClearedStates> reply; };  // none: all
}  // namespace command

using MotorCommand = std::variant<
    command::SetAllGoalPositions, command::SetLeftArmPosition, command::SetRightArmPosition,
    command::SetArmsPosition, command::SetNosePosition, command::SetNeckPosition,
    command::SetNeckYawPosition, command::SetNeckPitchPosition, command::SetNeckRollPosition,
    command::EnableNeck, command::EnableTorque, command::EnableTorqueOnIds, command::DisableTorque,
    command::DisableTorqueOnIds, command::EnableArms, command::EnableNose, command::ReadRawBytes,
    command::WriteRawBytes, command::WriteRawPacket, command::ClearNeckFaults>;

// Commands waiting for the loop thread at most; a producer that finds it full waits.
inline constexpr std::size_t COMMAND_QUEUE_CAPACITY = 100;

}  // namespace kestro::control_loop
