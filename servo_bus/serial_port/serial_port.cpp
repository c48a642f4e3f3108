#include "servo_bus/serial_port/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/deadline.hpp"
#include "servo_bus/serial_port/line_settings.hpp"
#include "servo_bus/serial_port/low_latency.hpp"

namespace kestro::servo_bus {
namespace {

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

timespec to_timespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((duration - seconds).count())};
}

}  // namespace

Result<SerialPort, SerialError> SerialPort::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fail(SerialError::from_errno(errno, "Unable to open serial port " + quoted(path)));
    }
    // From here the port owns the descriptor, so every early return below closes it.
    SerialPort port(fd);

    if (isatty(fd) != 1) {
        return fail(
            SerialError(IoErrorKind::InvalidInput,
                        "Unable to open serial port " + quoted(path) + ": not a terminal device"));
    }
    // The advisory lock comes first so that a port held by another process is left exactly as
    // its holder configured it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(SerialError(IoError::from_errno(errno).kind(),
                                "Unable to acquire exclusive lock on serial port"));
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        return fail(SerialError::from_errno(
            errno, "Unable to set exclusive mode on serial port " + quoted(path)));
    }
    if (auto applied = apply_line_settings(fd); !applied) {
        return fail(SerialError(
            applied.error().kind(),
            "Unable to configure serial port " + quoted(path) + ": " + applied.error().message()));
    }
    if (auto low_latency = request_low_latency(fd); !low_latency) {
        return fail(SerialError(low_latency.error().kind(),
                                "Unable to set low-latency mode on serial port " + quoted(path) +
                                    ": " + low_latency.error().message()));
    }
    return port;
}

Result<std::uint32_t, SerialError> SerialPort::bytes_to_read() {
    int count = 0;
    if (ioctl(fd_.get(), FIONREAD, &count) != 0) return fail(SerialError::from_errno(errno));
    return static_cast<std::uint32_t>(count);
}

Result<void, IoError> SerialPort::read_exact(std::span<std::uint8_t> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t got = ::read(fd_.get(), buffer.data() + done, buffer.size() - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            return fail(IoError::unexpected_eof());
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            KESTRO_TRY(wait_for(POLLIN));
        } else if (errno != EINTR) {
            return fail(IoError::from_errno(errno));
        }
    }
    return {};
}

Result<void, IoError> SerialPort::write_all(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
        } else if (put == 0) {
            return fail(IoError::write_zero());
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            KESTRO_TRY(wait_for(POLLOUT));
        } else if (errno != EINTR) {
            return fail(IoError::from_errno(errno));
        }
    }
    return {};
}

Result<void, IoError> SerialPort::drain() {
    while (tcdrain(fd_.get()) != 0) {
        if (errno != EINTR) return fail(IoError::from_errno(errno));
    }
    return {};
}

Result<void, IoError> SerialPort::wait_for(short events) const {
    const Deadline deadline(TIMEOUT);
    pollfd entry{fd_.get(), events, 0};
    // The first pass waits the whole time-out. A signal must not stretch the wait, so after
    // one the time left is recomputed.
    std::optional<std::chrono::nanoseconds> left = TIMEOUT;
    for (;;) {
        if (!left) return fail(IoError::timed_out());
        const timespec timeout = to_timespec(*left);
        const int ready = ppoll(&entry, 1, &timeout, nullptr);
        if (ready > 0) {
            if ((entry.revents & POLLNVAL) != 0) return fail(IoError::from_errno(EBADF));
            // Readiness, a hang-up or an error: the next read or write reports which.
            return {};
        }
        if (ready == 0) return fail(IoError::timed_out());
        if (errno != EINTR) return fail(IoError::from_errno(errno));
        left = deadline.remaining();
    }
}

}  // namespace kestro::servo_bus
