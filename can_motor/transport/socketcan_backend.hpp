// The SocketCAN implementation of the CAN transport: one raw CAN socket, owned and closed here.
#pragma once

#include <string_view>

#include "can_motor/transport/can_transport.hpp"
#include "common/unique_fd.hpp"

namespace kestro::can_motor {

class SocketCanTransport final : public CanTransport {
public:
    // Opens a raw CAN socket bound to the named interface, with CAN FD frames enabled. Every
    // failure is `Backend` with the operating system's error; nothing stays open.
    static Result<SocketCanTransport, CanError> open(std::string_view interface_name);

    // Takes ownership of `fd`, an open descriptor that exchanges the kernel's 16- and 72-byte
    // frame records one per message (a bound CAN socket, or one end of a packet socket pair
    // whose other end plays the bus).
    static SocketCanTransport adopt(int fd) { return SocketCanTransport(fd); }

    Result<void, CanError> send(const CanFrame& frame) override;
    Result<CanFrame, CanError> recv(std::optional<std::chrono::nanoseconds> timeout) override;

private:
    explicit SocketCanTransport(int fd) : fd_(fd) {}

    UniqueFd fd_;
};

}  // namespace kestro::can_motor
