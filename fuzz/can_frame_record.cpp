// The CAN frame-record parser: frame_record::decode on an arbitrary record, and the same bytes
// received as one message by SocketCanTransport::recv (on a packet socket pair, which hands
// over records exactly like a CAN socket).
//
// Input: the record, any length. Checked: the frame matches the record layout (identifier
// flags and masks, length byte, payload), records of any size but 16 and 72 bytes are refused,
// the transport gives what the parser gives, and a decoded frame encodes back into a record
// that decodes to the same frame.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "can_motor/transport/frame_record.hpp"
#include "can_motor/transport/socketcan_backend.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using kestro::Result;
using kestro::can_motor::CanError;
using kestro::can_motor::CanFrame;
using kestro::can_motor::CanId;
using kestro::fuzz::fail;
namespace frame_record = kestro::can_motor::frame_record;

constexpr std::size_t MAX_RECORD_INPUT = 256;

constexpr std::uint32_t EXTENDED_FLAG = 0x80000000;
constexpr std::uint32_t ERROR_FLAG = 0x20000000;

// The frame a record stands for, read from the kernel's layout: identifier (32 bits, host
// order), length byte, flags byte (CAN FD), two reserved bytes, payload from offset 8. A
// remote frame reads like a data frame.
std::optional<CanFrame> frame_in(std::span<const std::uint8_t> record) {
    if (record.size() != 16 && record.size() != 72) return std::nullopt;
    std::uint32_t raw;
    std::memcpy(&raw, record.data(), sizeof raw);
    CanFrame frame;
    frame.id = (raw & EXTENDED_FLAG) ? CanId::extended(raw & 0x1FFFFFFF)
                                     : CanId::standard(static_cast<std::uint16_t>(raw & 0x7FF));
    const auto payload = record.subspan(8);
    std::size_t length = std::min<std::size_t>(record[4], payload.size());
    if (record.size() == 16) {
        // An error frame's details fill all eight bytes whatever its length byte says.
        if (raw & ERROR_FLAG) length = 8;
    } else {
        frame.fd = true;
        frame.brs = (record[5] & 0x01) != 0;
    }
    frame.data.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(length));
    return frame;
}

void check_decoded(const Result<CanFrame, CanError>& got, std::span<const std::uint8_t> record,
                   const char* path) {
    const std::optional<CanFrame> want = frame_in(record);
    if (!want) {
        FUZZ_CHECK(!got && got.error().is<CanError::Backend>(),
                   "%s: a %zu-byte record was not refused as a backend error", path,
                   record.size());
        return;
    }
    FUZZ_CHECK(got.has_value(), "%s: a %zu-byte record was refused: %s", path, record.size(),
               got.error().to_string().c_str());
    FUZZ_CHECK(got->id == want->id, "%s: identifier 0x%X (%s) instead of 0x%X (%s)", path,
               got->id.value(), got->id.is_extended() ? "extended" : "standard",
               want->id.value(), want->id.is_extended() ? "extended" : "standard");
    FUZZ_CHECK(got->data == want->data, "%s: %zu payload bytes instead of %zu (or other bytes)",
               path, got->data.size(), want->data.size());
    FUZZ_CHECK(got->fd == want->fd && got->brs == want->brs, "%s: fd/brs flags %d/%d, not %d/%d",
               path, got->fd, got->brs, want->fd, want->brs);
}

// A decoded frame is sendable as it is, and comes back unchanged, apart from a CAN FD payload
// whose length is not one that CAN FD allows: that one is padded with zeros up to the next.
void check_round_trip(const CanFrame& frame) {
    const auto record = frame_record::encode(frame);
    FUZZ_CHECK(record.has_value(), "a received frame cannot be encoded again: %s",
               record.error().to_string().c_str());
    const auto again = frame_record::decode(record->view());
    FUZZ_CHECK(again.has_value(), "an encoded frame does not decode: %s",
               again.error().to_string().c_str());
    std::vector<std::uint8_t> padded(frame.data.begin(), frame.data.end());
    if (frame.fd) padded.resize(frame_record::fd_length(padded.size()), 0);
    FUZZ_CHECK(again->id == frame.id && again->fd == frame.fd && again->brs == frame.brs &&
                   again->data == padded,
               "a frame changed on its way through encode and decode (%zu -> %zu bytes)",
               frame.data.size(), again->data.size());
}

// The record as one message on a packet socket, received by the transport.
Result<CanFrame, CanError> receive(std::span<const std::uint8_t> record) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        fail("socketpair: %s", std::strerror(errno));
    }
    if (::send(ends[1], record.data(), record.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(record.size())) {
        fail("send: %s", std::strerror(errno));
    }
    ::close(ends[1]);
    auto transport = kestro::can_motor::SocketCanTransport::adopt(ends[0]);
    return transport.recv(std::chrono::seconds(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_RECORD_INPUT) return -1;
    const std::span<const std::uint8_t> record(data, size);

    const auto decoded = frame_record::decode(record);
    check_decoded(decoded, record, "decode");
    if (decoded) check_round_trip(*decoded);

    // The transport's buffer holds one CAN FD record; a longer message arrives cut to that.
    const auto received = receive(record);
    check_decoded(received, record.first(std::min<std::size_t>(size, 72)), "recv");
    return 0;
}
