#include "can_motor/transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "can_motor/transport/frame_record.hpp"

namespace kestro::can_motor {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

CanError last_os_error() { return CanError::backend(IoError::from_errno(errno)); }

// Interface names are short, so the zero-terminated copy lives on the stack; a name of 1024
// bytes or more is copied to the heap instead of being cut.
Result<unsigned, IoError> interface_index(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return fail(IoError::from_errno(EINVAL));
    constexpr std::size_t STACK_LIMIT = 1024;
    std::array<char, STACK_LIMIT> stack_copy;
    std::string heap_copy;
    const char* c_name = nullptr;
    if (name.size() < STACK_LIMIT) {
        std::copy(name.begin(), name.end(), stack_copy.begin());
        stack_copy[name.size()] = '\0';
        c_name = stack_copy.data();
    } else {
        heap_copy.assign(name);
        c_name = heap_copy.c_str();
    }
    const unsigned index = ::if_nametoindex(c_name);
    if (index == 0) return fail(IoError::from_errno(errno));
    return index;
}

timeval receive_timeout(std::optional<nanoseconds> timeout) {
    if (!timeout) return timeval{0, 0};  // the socket reads zero as "no limit"
    // A zero time-out would mean "no limit" too; the shortest real wait is what was meant.
    const nanoseconds wait = std::max<nanoseconds>(*timeout, microseconds(1));
    const auto seconds = duration_cast<std::chrono::seconds>(wait);
    timeval value{};
    value.tv_sec = static_cast<time_t>(std::min<std::int64_t>(seconds.count(), 0x7FFFFFFF));
    value.tv_usec = static_cast<suseconds_t>(duration_cast<microseconds>(wait - seconds).count());
    return value;
}

}  // namespace

Result<SocketCanTransport, CanError> SocketCanTransport::open(std::string_view interface_name) {
    Result<unsigned, IoError> index = interface_index(interface_name);
    if (!index) return fail(CanError::backend(index.error()));

    const int fd = ::socket(AF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return fail(last_os_error());
    SocketCanTransport transport(fd);  // closes the socket on every failure below

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(*index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(last_os_error());
    }
    const int enable = 1;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
        return fail(last_os_error());
    }
    return transport;
}

Result<void, CanError> SocketCanTransport::send(const CanFrame& frame) {
    KESTRO_TRY_ASSIGN(const frame_record::Record record, frame_record::encode(frame));
    std::span<const std::uint8_t> rest = record.view();
    while (!rest.empty()) {
        // MSG_NOSIGNAL: an adopted descriptor whose peer has gone must fail with EPIPE rather
        // than kill the whole (Python) process with SIGPIPE; a CAN socket never raises it.
        const ssize_t written = ::send(fd_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail(last_os_error());
        }
        if (written == 0) return fail(CanError::backend(IoError::write_zero()));
        rest = rest.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

Result<CanFrame, CanError> SocketCanTransport::recv(std::optional<nanoseconds> timeout) {
    std::optional<Deadline> deadline;
    if (timeout) deadline.emplace(*timeout);
    std::array<std::uint8_t, frame_record::FD_SIZE> buffer;
    ssize_t received = -1;
    for (;;) {
        std::optional<nanoseconds> left = timeout;
        // A signal must neither end the wait early nor stretch it: the time left is recomputed.
        if (deadline) left = deadline->remaining().value_or(nanoseconds(0));
        const timeval limit = receive_timeout(left);
        if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            return fail(last_os_error());
        }
        received = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (received >= 0 || errno != EINTR) break;
        if (deadline && deadline->expired()) return fail(CanError::timeout());
    }
    if (received < 0) {
        IoError error = IoError::from_errno(errno);
        if (error.kind() == IoErrorKind::WouldBlock || error.kind() == IoErrorKind::TimedOut) {
            return fail(CanError::timeout());
        }
        return fail(CanError::backend(std::move(error)));
    }
    return frame_record::decode({buffer.data(), static_cast<std::size_t>(received)});
}

}  // namespace kestro::can_motor
