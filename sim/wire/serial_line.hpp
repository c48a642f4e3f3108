// Time on a modelled half-duplex serial line: every byte takes its time on the wire, one
// transfer at a time, so that the simulated servos answer no sooner than real ones would.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestro::sim::wire {

using Clock = std::chrono::steady_clock;

// When one packet occupies a wire, from its first bit to its last.
struct Window {
    Clock::time_point start;
    Clock::time_point end;
};

struct SerialTiming {
    // 8N1: a start bit, eight data bits and a stop bit per byte.
    static constexpr unsigned BITS_PER_BYTE = 10;

    unsigned baud = 1'000'000;
    // A servo's answer delay when its return-delay register is 0.
    std::chrono::nanoseconds default_return_delay{std::chrono::microseconds(20)};
    // Received bytes reach the host only at multiples of this (0: as they arrive).
    std::chrono::nanoseconds usb_latency{0};

    std::chrono::nanoseconds byte_time() const;
};

// The return-delay register counts 2 µs steps; 0 leaves the servo's own default.
std::chrono::nanoseconds return_delay(std::uint8_t register_value,
                                      std::chrono::nanoseconds fallback);

class SerialLine {
public:
    explicit SerialLine(std::chrono::nanoseconds byte_time) : byte_time_(byte_time) {}

    // Puts `bytes` on the line at `ready`, or once the line is free if it is still busy.
    Window put(Clock::time_point ready, std::size_t bytes);

private:
    std::chrono::nanoseconds byte_time_;
    Clock::time_point free_at_{};
};

// One reply of a transaction: how long the servo waits after the line has gone quiet, and how
// many bytes it sends.
struct ReplyShape {
    std::chrono::nanoseconds delay;
    std::size_t bytes;
};

// A request of `request_bytes` written at `ready`, then its replies one after the other, each
// after its own delay from the end of what came before. The first window is the request's.
std::vector<Window> transaction(SerialLine& line, Clock::time_point ready,
                                std::size_t request_bytes, std::span<const ReplyShape> replies);

// When bytes whose last one arrived at `arrived` reach the host: at the next multiple of
// `latency` counted from `epoch`, as a USB adapter's latency timer flushes them.
Clock::time_point usb_delivery(Clock::time_point arrived, Clock::time_point epoch,
                               std::chrono::nanoseconds latency);

}  // namespace kestro::sim::wire
