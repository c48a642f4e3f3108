// The serial port layer's own failure: a description for people and an I/O kind for programs.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "common/io_error.hpp"

namespace kestro::servo_bus {

class SerialError {
public:
    SerialError(IoErrorKind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}

    // The platform's text for `error_number`, after `context` when one is given, e.g.
    // "Unable to open serial port '/dev/ttyUSB0': No such file or directory (os error 2)".
    static SerialError from_errno(int error_number, std::string_view context = {});

    IoErrorKind kind() const { return kind_; }
    const std::string& description() const { return description_; }

    // Callers that speak only I/O errors (the raw packet pass-through) keep kind and text.
    IoError to_io_error() const { return IoError::custom(kind_, description_); }

    bool operator==(const SerialError&) const = default;

private:
    IoErrorKind kind_;
    std::string description_;
};

}  // namespace kestro::servo_bus
