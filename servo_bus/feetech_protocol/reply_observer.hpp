// Told of every reply the protocol handler waits for: which servo answered and with which error
// byte, or which servo's reply failed and why. The servos report their faults (supply voltage,
// angle sensor, heat, current, load) in the error byte of every status packet, so a listener
// here keeps their health from the replies that arrive anyway, without a byte more on the bus.
#pragma once

#include <cstdint>

#include "servo_bus/feetech_protocol/error.hpp"

namespace kestro::servo_bus {

class ReplyObserver {
public:
    // A status packet from `id` decoded; `error_byte` as the servo sent it.
    virtual void on_status(std::uint8_t id, std::uint8_t error_byte) = 0;
    // The reply awaited from `expected_id` did not arrive or did not decode.
    virtual void on_reply_failure(std::uint8_t expected_id, const ServoBusError& error) = 0;

protected:
    ~ReplyObserver() = default;
};

}  // namespace kestro::servo_bus
