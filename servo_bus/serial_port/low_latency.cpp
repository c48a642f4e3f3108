#include "servo_bus/serial_port/low_latency.hpp"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace kestro::servo_bus {
namespace {

// The kernel's "no such ioctl for this driver", which some drivers pass up unchanged.
constexpr int ENOIOCTLCMD_ERRNO = 515;

// Answers of drivers and terminals without the serial-info request, or that refuse it to
// unprivileged users: the adapter keeps its own latency.
bool unsupported(int error) {
    return error == ENOTTY || error == EINVAL || error == ENOIOCTLCMD_ERRNO || error == EPERM;
}

Result<void, IoError> failure(int error) {
    if (unsupported(error)) return {};
    return fail(IoError::from_errno(error));
}

}  // namespace

Result<void, IoError> request_low_latency(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return failure(errno);
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) return {};
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) != 0) return failure(errno);
    return {};
}

}  // namespace kestro::servo_bus
