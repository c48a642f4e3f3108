#include "sim/wire/serial_line.hpp"

#include <algorithm>

namespace kestro::sim::wire {

std::chrono::nanoseconds SerialTiming::byte_time() const {
    return std::chrono::nanoseconds(std::chrono::seconds(1)) * BITS_PER_BYTE / std::max(baud, 1U);
}

std::chrono::nanoseconds return_delay(std::uint8_t register_value,
                                      std::chrono::nanoseconds fallback) {
    if (register_value == 0) return fallback;
    return std::chrono::microseconds(2) * register_value;
}

Window SerialLine::put(Clock::time_point ready, std::size_t bytes) {
    const Clock::time_point start = std::max(ready, free_at_);
    free_at_ = start + byte_time_ * static_cast<long>(bytes);
    return Window{start, free_at_};
}

std::vector<Window> transaction(SerialLine& line, Clock::time_point ready,
                                std::size_t request_bytes, std::span<const ReplyShape> replies) {
    std::vector<Window> windows{line.put(ready, request_bytes)};
    for (const ReplyShape& reply : replies) {
        windows.push_back(line.put(windows.back().end + reply.delay, reply.bytes));
    }
    return windows;
}

Clock::time_point usb_delivery(Clock::time_point arrived, Clock::time_point epoch,
                               std::chrono::nanoseconds latency) {
    if (latency <= std::chrono::nanoseconds::zero() || arrived <= epoch) return arrived;
    const auto since = arrived - epoch;
    const auto batches = (since + latency - std::chrono::nanoseconds(1)) / latency;
    return epoch + batches * latency;
}

}  // namespace kestro::sim::wire
