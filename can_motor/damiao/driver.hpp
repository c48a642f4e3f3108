// The driver of one Damiao motor: its constant record and the exchanges it performs over a CAN
// transport. Every operation is a complete exchange; nothing is kept between calls, and the
// caller gives it exclusive use of the transport, since replies are matched by identifier or
// pattern and every other frame is discarded.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "can_motor/damiao/control_command.hpp"
#include "can_motor/damiao/error.hpp"
#include "can_motor/damiao/mit.hpp"
#include "can_motor/damiao/register_value.hpp"
#include "can_motor/transport/can_transport.hpp"
#include "common/result.hpp"

namespace kestro::can_motor::damiao {

// Control modes as the CTRL_MODE register numbers them.
namespace control_mode {
inline constexpr std::uint8_t MIT = 1;
inline constexpr std::uint8_t POS_VEL = 2;
inline constexpr std::uint8_t VEL = 3;
inline constexpr std::uint8_t FORCE_POS = 4;
}  // namespace control_mode

class Damiao {
public:
    // `timeout` bounds the wait for each reply; `can_id` addresses the motor and `master_id`
    // is the identifier of its feedback frames, both used as standard 11-bit identifiers.
    // Fails, naming the limit, when a limit is negative or NaN: the MIT codes of such a range
    // mean nothing to the motor.
    static Result<Damiao, std::string> create(std::chrono::nanoseconds timeout, MitLimits limits,
                                              std::uint16_t can_id, std::uint16_t master_id);

    std::chrono::nanoseconds timeout() const { return timeout_; }
    const MitLimits& limits() const { return limits_; }
    std::uint16_t can_id() const { return can_id_; }
    std::uint16_t master_id() const { return master_id_; }

    Result<MitState, Error> enable(CanTransport& can) const;
    Result<MitState, Error> disable(CanTransport& can) const;
    Result<MitState, Error> control(CanTransport& can, const ControlCommand& command) const;
    // Clears the fault the motor reports; it stays disabled. Answered with a feedback frame.
    Result<MitState, Error> clear_error(CanTransport& can) const;
    // Asks the motor for a feedback frame without commanding anything.
    Result<MitState, Error> request_feedback(CanTransport& can) const;
    // Sends `payload` at `arbitration_id` and decodes the feedback frame from `master_id`.
    Result<MitState, Error> cmd_at_arbitration(CanTransport& can, std::uint16_t arbitration_id,
                                               const std::array<std::uint8_t, 8>& payload) const;

    // The value typed by the register table. Frames other than this register's reply are
    // discarded until `timeout` has passed.
    Result<RegisterValue, Error> read_register(CanTransport& can, std::uint8_t reg) const;
    // Checks the register and the value's type, then sends; the motor's reply is not awaited
    // (the next exchange discards it).
    Result<void, Error> write_register(CanTransport& can, std::uint8_t reg,
                                       RegisterValue value) const;
    // Reads CTRL_MODE and, when it differs from `mode`, writes it, waits 100 ms for the motor
    // to switch, and reads it back.
    Result<void, Error> ensure_control_mode(CanTransport& can, std::uint8_t mode) const;

private:
    Damiao(std::chrono::nanoseconds timeout, MitLimits limits, std::uint16_t can_id,
           std::uint16_t master_id)
        : timeout_(timeout), limits_(limits), can_id_(can_id), master_id_(master_id) {}

    Result<std::uint32_t, Error> read_control_mode(CanTransport& can) const;
    std::chrono::nanoseconds timeout_;
    MitLimits limits_;
    std::uint16_t can_id_;
    std::uint16_t master_id_;
};

}  // namespace kestro::can_motor::damiao
