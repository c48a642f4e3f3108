// An operating-system or I/O-layer failure that keeps its kind, so that callers can decide on
// retries (time-outs and interrupted calls) without parsing texts.
#pragma once

#include <string>

namespace kestro {

enum class IoErrorKind {
    NotFound,
    PermissionDenied,
    WouldBlock,
    TimedOut,
    Interrupted,
    UnexpectedEof,
    WriteZero,
    InvalidInput,
    Unsupported,
    Other,
};

class IoError {
public:
    // Wraps an errno value; the text is the platform's description, e.g.
    // "No such device (os error 19)".
    static IoError from_errno(int error_number);
    // An error raised by the I/O layer itself, with no errno behind it.
    static IoError custom(IoErrorKind kind, std::string message);

    static IoError timed_out() { return custom(IoErrorKind::TimedOut, "Operation timed out"); }
    static IoError unexpected_eof() {
        return custom(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    }
    static IoError write_zero() {
        return custom(IoErrorKind::WriteZero, "failed to write whole buffer");
    }

    IoErrorKind kind() const { return kind_; }
    // The errno behind the error, or 0 for an I/O-layer error.
    int os_error() const { return os_error_; }
    const std::string& message() const { return message_; }

    bool operator==(const IoError&) const = default;

private:
    IoError(IoErrorKind kind, int os_error, std::string message)
        : kind_(kind), os_error_(os_error), message_(std::move(message)) {}

    IoErrorKind kind_;
    int os_error_;
    std::string message_;
};

}  // namespace kestro
