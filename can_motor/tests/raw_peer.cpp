#include "can_motor/tests/raw_peer.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace kestro::can_motor::testing {
namespace {

std::pair<int, int> packet_socket_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    return {fds[0], fds[1]};
}

Bytes record(std::size_t size, std::uint32_t raw_id, const Bytes& payload, std::uint8_t length) {
    Bytes out(size, 0);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(raw_id >> (8 * i));
    out[4] = length;
    std::copy(payload.begin(), payload.end(), out.begin() + 8);
    return out;
}

}  // namespace

RawPeer::RawPeer() : RawPeer(packet_socket_pair()) {}

RawPeer::RawPeer(std::pair<int, int> fds)
    : transport_(SocketCanTransport::adopt(fds.first)), peer_fd_(fds.second) {}

void RawPeer::close_peer() { peer_fd_.reset(); }

void RawPeer::inject(std::span<const std::uint8_t> bytes) {
    if (::send(peer_fd_.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("inject failed");
    }
}

std::optional<Bytes> RawPeer::next_written() {
    Bytes buffer(128);
    const ssize_t size = ::recv(peer_fd_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (size < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(size));
    return buffer;
}

Bytes classic_record(std::uint32_t raw_id, const Bytes& payload, std::uint8_t length) {
    return record(16, raw_id, payload, length);
}

Bytes classic_record(std::uint32_t raw_id, const Bytes& payload) {
    return classic_record(raw_id, payload, static_cast<std::uint8_t>(payload.size()));
}

Bytes fd_record(std::uint32_t raw_id, const Bytes& payload, std::uint8_t length,
                std::uint8_t flags) {
    Bytes out = record(72, raw_id, payload, length);
    out[5] = flags;
    return out;
}

int open_descriptor_count() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

}  // namespace kestro::can_motor::testing
