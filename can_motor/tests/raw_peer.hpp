// Test support: a SocketCanTransport on one end of a packet socket pair, and the raw other end,
// where tests read the exact records the transport wrote and inject records of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "can_motor/transport/socketcan_backend.hpp"
#include "common/unique_fd.hpp"

namespace kestro::can_motor::testing {

using Bytes = std::vector<std::uint8_t>;

class RawPeer {
public:
    RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    SocketCanTransport& transport() { return transport_; }

    // Sends `record` as one message, as the kernel delivers one frame.
    void inject(std::span<const std::uint8_t> record);
    // The next message the transport wrote, or nothing. A socket pair delivers at once, so
    // there is nothing to wait for.
    std::optional<Bytes> next_written();
    // Closes the raw end, as a bus that has gone away.
    void close_peer();

private:
    explicit RawPeer(std::pair<int, int> fds);

    SocketCanTransport transport_;
    UniqueFd peer_fd_;
};

// A 16-byte classic record: identifier word (flags included) little-endian, length byte,
// three zero bytes, payload zero-padded to 8.
Bytes classic_record(std::uint32_t raw_id, const Bytes& payload, std::uint8_t length);
Bytes classic_record(std::uint32_t raw_id, const Bytes& payload);
// A 72-byte CAN FD record with the given length and flags bytes.
Bytes fd_record(std::uint32_t raw_id, const Bytes& payload, std::uint8_t length,
                std::uint8_t flags);

// Open descriptors of this process.
int open_descriptor_count();

}  // namespace kestro::can_motor::testing
