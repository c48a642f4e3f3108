#include "sim/wire/can_bus_clock.hpp"

#include <algorithm>

#include "sim/wire/can_frame_bits.hpp"

namespace kestro::sim::wire {

std::chrono::nanoseconds CanTiming::bit_time() const {
    return std::chrono::nanoseconds(std::chrono::seconds(1)) / std::max(bitrate, 1U);
}

Window CanBusClock::put(Clock::time_point ready, std::uint32_t id, bool extended,
                        std::span<const std::uint8_t> data) {
    const Clock::time_point start = std::max(ready, free_at_);
    const Clock::time_point end =
        start + timing_.bit_time() * static_cast<long>(can_frame_bits(id, extended, data));
    free_at_ = end + timing_.bit_time() * static_cast<long>(CAN_INTERMISSION_BITS);
    return Window{start, end};
}

}  // namespace kestro::sim::wire
