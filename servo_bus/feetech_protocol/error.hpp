// Failures of servo bus transactions.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "common/io_error.hpp"
#include "servo_bus/serial_port/serial_error.hpp"

namespace kestro::servo_bus {

// A protocol-level failure. Each kind has a display text (to_string) and a debug form.
class CommunicationErrorKind {
public:
    enum class Variant : std::uint8_t {
        ChecksumError,
        ParsingError,
        TimeoutError,
        IncorrectId,
        Unsupported,
    };

    static const CommunicationErrorKind ChecksumError;
    static const CommunicationErrorKind ParsingError;
    static const CommunicationErrorKind TimeoutError;
    static const CommunicationErrorKind Unsupported;
    static constexpr CommunicationErrorKind IncorrectId(std::uint8_t first, std::uint8_t second) {
        return CommunicationErrorKind(Variant::IncorrectId, first, second);
    }

    constexpr Variant variant() const { return variant_; }

    // "Checksum error", "Incorrect id (7 instead of 3)" (second id first), ...
    std::string to_string() const;
    // "ChecksumError", "IncorrectId(3, 7)" (first id first), ...
    std::string debug_string() const;

    bool operator==(const CommunicationErrorKind&) const = default;

private:
    constexpr explicit CommunicationErrorKind(Variant variant, std::uint8_t first = 0,
                                              std::uint8_t second = 0)
        : variant_(variant), first_(first), second_(second) {}

    Variant variant_;
    std::uint8_t first_;   // IncorrectId's two ids, for its texts; 0 for every other kind
    std::uint8_t second_;
};

inline constexpr CommunicationErrorKind CommunicationErrorKind::ChecksumError{
    Variant::ChecksumError};
inline constexpr CommunicationErrorKind CommunicationErrorKind::ParsingError{Variant::ParsingError};
inline constexpr CommunicationErrorKind CommunicationErrorKind::TimeoutError{Variant::TimeoutError};
inline constexpr CommunicationErrorKind CommunicationErrorKind::Unsupported{Variant::Unsupported};

// The error of every servo bus operation: a protocol failure, a failure to query the port's
// input queue, or an I/O error of a read. I/O errors keep their kind so that callers can retry
// time-outs and interrupted calls; the other two never count as I/O errors.
class ServoBusError {
public:
    ServoBusError(CommunicationErrorKind error) : error_(error) {}
    ServoBusError(SerialError error) : error_(std::move(error)) {}
    ServoBusError(IoError error) : error_(std::move(error)) {}

    // The display text of whichever error is held.
    std::string to_string() const;

    // The held error of each sort, or nullptr.
    const CommunicationErrorKind* communication_error() const {
        return std::get_if<CommunicationErrorKind>(&error_);
    }
    const SerialError* serial_error() const { return std::get_if<SerialError>(&error_); }
    const IoError* io_error() const { return std::get_if<IoError>(&error_); }

    bool operator==(const ServoBusError&) const = default;

private:
    std::variant<CommunicationErrorKind, SerialError, IoError> error_;
};

}  // namespace kestro::servo_bus
