// The torso controller's error: an owned message text, plus the serial I/O error behind it
// when there is one, so that the control loop can retry time-outs without parsing texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/io_error.hpp"
#include "servo_bus/feetech_protocol/error.hpp"
#include "servo_bus/serial_port/serial_error.hpp"

namespace kestro::controller {

inline constexpr std::string_view NO_SERIAL_PORT =
    "serial port not configured (neck-only controller)";

class ControllerError {
public:
    explicit ControllerError(std::string message) : message_(std::move(message)) {}
    // A servo bus failure passed on unchanged: its text, and its I/O error if it is one.
    ControllerError(const servo_bus::ServoBusError& error)
        : message_(error.to_string()),
          io_error_(error.io_error() ? std::optional(*error.io_error()) : std::nullopt) {}
    // A serial port that could not be opened: its description, which names the port. It
    // carries no I/O error, since an open is no transaction that a retry could repeat.
    ControllerError(const servo_bus::SerialError& error) : message_(error.description()) {}

    static ControllerError no_serial_port() { return ControllerError(std::string(NO_SERIAL_PORT)); }
    // The caller's cancel check asked the operation to stop; it sent nothing further.
    static ControllerError interrupted(std::string_view operation) {
        ControllerError error(std::string(operation) + ": interrupted");
        error.interrupted_ = true;
        return error;
    }

    // A caller's value that the operation refuses before sending anything (Python's
    // ValueError).
    static ControllerError invalid_argument(std::string message) {
        ControllerError error(std::move(message));
        error.invalid_argument_ = true;
        return error;
    }

    // Says, after the failure's own text, what the failure left undone.
    ControllerError& add_note(std::string_view note) {
        message_.append("; ").append(note);
        return *this;
    }

    const std::string& message() const { return message_; }
    const IoError* io_error() const { return io_error_ ? &*io_error_ : nullptr; }
    bool is_interrupted() const { return interrupted_; }
    bool is_invalid_argument() const { return invalid_argument_; }

private:
    std::string message_;
    std::optional<IoError> io_error_;
    bool interrupted_ = false;
    bool invalid_argument_ = false;
};

}  // namespace kestro::controller
