// What the Feetech fuzz targets share: a serial line that delivers a fixed byte stream and then
// reports end of file, and an independent model of how a stream of servo replies must be read.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/feetech_protocol/protocol_handler.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace kestro::fuzz {

// Longest line input a target takes: it always fits a pipe without blocking the writer.
inline constexpr std::size_t MAX_LINE_INPUT = 4096;

// A port on a pipe that holds `bytes` and whose writing end is already closed: running out of
// input is an immediate end of file instead of the port's 10 ms read time-out.
inline servo_bus::SerialPort line_delivering(std::span<const std::uint8_t> bytes) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe2: %s", std::strerror(errno));
    while (!bytes.empty()) {
        const ssize_t put = ::write(ends[1], bytes.data(), bytes.size());
        if (put <= 0) fail("write to pipe: %s", std::strerror(errno));
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    ::close(ends[1]);
    return servo_bus::SerialPort::from_fd(ends[0]);
}

inline std::uint8_t feetech_checksum(std::span<const std::uint8_t> body) {
    unsigned sum = 0;
    for (std::uint8_t byte : body) sum += byte;
    return static_cast<std::uint8_t>(~sum & 0xFF);
}

// What reading one reply off the stream must give.
struct ExpectedReply {
    enum class Outcome { Packet, ChecksumError, ParsingError, EndOfInput };

    static ExpectedReply failure(Outcome outcome) { return {outcome, 0, {}}; }

    Outcome outcome;
    std::uint8_t error_byte;
    std::vector<std::uint8_t> params;
};

// The reply stream as the servo bus must read it: a 4-byte prefix (FF FF id length), then the
// `length` bytes it announces, no resynchronisation on a bad header. Written from the wire
// format, without the product's code.
class ReplyStreamModel {
public:
    explicit ReplyStreamModel(std::span<const std::uint8_t> stream) : stream_(stream) {}

    ExpectedReply next(std::uint8_t expected_id) {
        using Outcome = ExpectedReply::Outcome;
        const auto left = stream_.subspan(at_);
        if (left.size() < 4) return ExpectedReply::failure(Outcome::EndOfInput);
        if (left[0] != 0xFF || left[1] != 0xFF) {
            at_ += 4;
            return ExpectedReply::failure(Outcome::ParsingError);
        }
        const std::size_t total = 4 + std::size_t{left[3]};
        if (left.size() < total) return ExpectedReply::failure(Outcome::EndOfInput);
        at_ += total;
        const auto reply = left.first(total);
        // Header, id, length, error byte and checksum at the least.
        if (total < 6) return ExpectedReply::failure(Outcome::ParsingError);
        if (feetech_checksum(reply.subspan(2, total - 3)) != reply[total - 1]) {
            return ExpectedReply::failure(Outcome::ChecksumError);
        }
        if (reply[2] != expected_id) return ExpectedReply::failure(Outcome::ParsingError);
        return {Outcome::Packet, reply[4], {reply.begin() + 5, reply.end() - 1}};
    }

private:
    std::span<const std::uint8_t> stream_;
    std::size_t at_ = 0;
};

// Gives every reply that the reader will frame a correct checksum, so that inputs reach the
// checks behind it (id, length, parameters) instead of dying at the checksum.
inline void repair_checksums(std::vector<std::uint8_t>& stream) {
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        if (stream[at] != 0xFF || stream[at + 1] != 0xFF) {
            at += 4;
            continue;
        }
        const std::size_t total = 4 + std::size_t{stream[at + 3]};
        if (stream.size() - at < total) return;
        if (total >= 6) {
            stream[at + total - 1] =
                feetech_checksum(std::span(stream).subspan(at + 2, total - 3));
        }
        at += total;
    }
}

inline std::vector<servo_bus::StatusErrorFlag> flags_of(std::uint8_t error_byte) {
    using servo_bus::StatusErrorFlag;
    std::vector<StatusErrorFlag> flags;
    if (error_byte & 0x01) flags.push_back(StatusErrorFlag::Bit0);
    if (error_byte & 0x02) flags.push_back(StatusErrorFlag::Bit1);
    if (error_byte & 0x04) flags.push_back(StatusErrorFlag::Bit2);
    if (error_byte & 0x08) flags.push_back(StatusErrorFlag::Bit3);
    if (error_byte & 0x20) flags.push_back(StatusErrorFlag::Bit5);
    return flags;
}

// A failed read against the outcome the model expects.
inline void check_failure(const servo_bus::ServoBusError& error, const ExpectedReply& expected) {
    using Outcome = ExpectedReply::Outcome;
    using servo_bus::CommunicationErrorKind;
    const std::string text = error.to_string();
    switch (expected.outcome) {
        case Outcome::Packet:
            fail("a valid reply was rejected: %s", text.c_str());
        case Outcome::ChecksumError:
            FUZZ_CHECK(error.communication_error() != nullptr &&
                           *error.communication_error() == CommunicationErrorKind::ChecksumError,
                       "expected a checksum error, got: %s", text.c_str());
            return;
        case Outcome::ParsingError:
            FUZZ_CHECK(error.communication_error() != nullptr &&
                           *error.communication_error() == CommunicationErrorKind::ParsingError,
                       "expected a parsing error, got: %s", text.c_str());
            return;
        case Outcome::EndOfInput:
            // Anything but end of file means the reader waited on, or read past, the input.
            FUZZ_CHECK(error.io_error() != nullptr &&
                           error.io_error()->kind() == IoErrorKind::UnexpectedEof,
                       "expected end of input, got: %s", text.c_str());
            return;
    }
}

// One read_status_packet result against the model.
inline void check_reply(const Result<servo_bus::StatusPacketFeetech, servo_bus::ServoBusError>& got,
                        const ExpectedReply& expected, std::uint8_t expected_id) {
    if (!got) {
        check_failure(got.error(), expected);
        return;
    }
    FUZZ_CHECK(expected.outcome == ExpectedReply::Outcome::Packet,
               "a reply the line does not hold as valid was accepted (model outcome %d)",
               static_cast<int>(expected.outcome));
    FUZZ_CHECK(got->id() == expected_id, "accepted a reply from id %u while waiting for %u",
               got->id(), expected_id);
    FUZZ_CHECK(std::ranges::equal(got->params(), expected.params), "parameters: got %zu bytes, the reply holds %zu",
               got->params().size(), expected.params.size());
    FUZZ_CHECK(got->errors() == flags_of(expected.error_byte),
               "error flags do not match error byte 0x%02X", expected.error_byte);
}

// Reads replies for `expected_id` off `stream` until the input runs out, each checked against
// the model. Every read consumes at least four bytes or ends the loop.
inline void read_all_replies(std::uint8_t expected_id, std::span<const std::uint8_t> stream) {
    servo_bus::SerialPort port = line_delivering(stream);
    const servo_bus::FeetechProtocolHandler handler;
    ReplyStreamModel model(stream);
    servo_bus::PacketBytes bytes;
    for (;;) {
        const auto got = handler.read_status_packet(port, expected_id, bytes);
        const ExpectedReply expected = model.next(expected_id);
        check_reply(got, expected, expected_id);
        if (expected.outcome == ExpectedReply::Outcome::EndOfInput) return;
    }
}

}  // namespace kestro::fuzz
