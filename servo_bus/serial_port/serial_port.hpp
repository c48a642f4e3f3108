// The servo bus's serial device: opened for exclusive use at 1,000,000 baud, raw 8N1, with every
// read and write wait bounded by a 10 ms time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "common/unique_fd.hpp"
#include "servo_bus/serial_port/serial_error.hpp"

namespace kestro::servo_bus {

class SerialPort {
public:
    // How long one read or write waits for the device before giving up.
    static constexpr std::chrono::milliseconds TIMEOUT{10};

    // Opens `path` read-write (no controlling terminal, non-blocking, close-on-exec), takes it
    // for exclusive use (flock and TIOCEXCL) and applies the bus line settings. On failure
    // nothing stays open.
    static Result<SerialPort, SerialError> open(const std::string& path);

    // Takes ownership of an open non-blocking descriptor as it is, without changing its
    // settings; for adapters and tests that bring their own descriptor.
    static SerialPort from_fd(int fd) { return SerialPort(fd); }

    // Number of received bytes waiting in the input queue (FIONREAD).
    Result<std::uint32_t, SerialError> bytes_to_read();

    // Fills `buffer` completely. Each wait for more data is bounded by TIMEOUT and then fails
    // with IoError::timed_out(); an end of file fails with IoError::unexpected_eof().
    Result<void, IoError> read_exact(std::span<std::uint8_t> buffer);

    // Writes every byte; each wait for room in the output queue is bounded by TIMEOUT.
    Result<void, IoError> write_all(std::span<const std::uint8_t> bytes);

    // Waits until everything written has been transmitted (tcdrain).
    Result<void, IoError> drain();

    int native_handle() const { return fd_.get(); }

private:
    explicit SerialPort(int fd) : fd_(fd) {}

    // Waits up to TIMEOUT for `events` on the descriptor.
    Result<void, IoError> wait_for(short events) const;

    UniqueFd fd_;
};

}  // namespace kestro::servo_bus
