#include "sim/torso/trace.hpp"

#include <cstdio>
#include <string>

namespace kestro::sim::torso {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char digits[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, " %02X", byte);
        text += digits;
    }
    return text;
}

// Length of the Feetech packet at the start of `bytes` (FF FF id length ...), cut to what
// arrived; 0 when no packet starts there.
std::size_t packet_length(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xFF) return 0;
    return std::min<std::size_t>(bytes.size(), bytes[3] + 4U);
}

std::size_t noise_length(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        if (packet_length(bytes.subspan(i)) != 0) return i;
    }
    return bytes.size();
}

}  // namespace

void Trace::serial(Direction direction, std::span<const std::uint8_t> bytes) {
    if (!enabled_) return;
    while (!bytes.empty()) {
        std::size_t length = packet_length(bytes);
        std::string text = length != 0 ? hex(bytes.first(length)) : std::string();
        if (length == 0) {
            length = noise_length(bytes);
            text = " noise" + hex(bytes.first(length));
        }
        line("serial", direction, text);
        bytes = bytes.subspan(length);
    }
}

void Trace::can(Direction direction, std::span<const std::uint8_t> record) {
    if (!enabled_) return;
    line("can", direction, can_text(record));
}

void Trace::serial(Direction direction, std::span<const std::uint8_t> bytes,
                   const wire::Window& window) {
    if (!enabled_) return;
    line("serial", direction, hex(bytes) + window_text(window));
}

void Trace::can(Direction direction, std::span<const std::uint8_t> record,
                const wire::Window& window) {
    if (!enabled_) return;
    line("can", direction, can_text(record) + window_text(window));
}

std::string Trace::can_text(std::span<const std::uint8_t> record) const {
    const std::optional<BusFrame> frame = bus_record::unpack(record);
    if (!frame) return " record" + hex(record);
    char id[16];
    std::snprintf(id, sizeof id, frame->extended ? " %08X" : " %03X", frame->id);
    return std::string(id) + (frame->fd ? " fd" : "") + " [" +
           std::to_string(frame->data.size()) + "]" + hex(frame->data);
}

std::string Trace::window_text(const wire::Window& window) const {
    const auto seconds = [&](wire::Clock::time_point at) {
        return std::chrono::duration<double>(at - start_).count();
    };
    char text[64];
    std::snprintf(text, sizeof text, "  wire %.6f-%.6f", seconds(window.start),
                  seconds(window.end));
    return text;
}

void Trace::line(std::string_view bus, Direction direction, std::string_view text) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "%10.6f %.*s %s%.*s\n", seconds, static_cast<int>(bus.size()), bus.data(),
                 direction == Direction::ToSim ? "host>sim" : "sim>host",
                 static_cast<int>(text.size()), text.data());
}

}  // namespace kestro::sim::torso
