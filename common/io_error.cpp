#include "common/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace kestro {
namespace {

IoErrorKind kind_of(int error_number) {
    switch (error_number) {
        case ENOENT: return IoErrorKind::NotFound;
        case EACCES:
        case EPERM: return IoErrorKind::PermissionDenied;
        case EAGAIN: return IoErrorKind::WouldBlock;
        case ETIMEDOUT: return IoErrorKind::TimedOut;
        case EINTR: return IoErrorKind::Interrupted;
        case EINVAL: return IoErrorKind::InvalidInput;
        case ENOTSUP: return IoErrorKind::Unsupported;
        default: return IoErrorKind::Other;
    }
}

std::string describe(int error_number) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not live in `buffer`.
    const char* text = strerror_r(error_number, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace

IoError IoError::from_errno(int error_number) {
    return IoError(kind_of(error_number), error_number, describe(error_number));
}

IoError IoError::custom(IoErrorKind kind, std::string message) {
    return IoError(kind, 0, std::move(message));
}

}  // namespace kestro
