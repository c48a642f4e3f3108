#include "sim/wire/can_frame_bits.hpp"

namespace kestro::sim::wire {
namespace {

constexpr std::uint16_t CRC15_POLYNOMIAL = 0x4599;
constexpr std::uint8_t DOMINANT = 0;
constexpr std::uint8_t RECESSIVE = 1;

void append(std::vector<std::uint8_t>& bits, std::uint32_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) bits.push_back(static_cast<std::uint8_t>((value >> i) & 1U));
}

}  // namespace

std::uint16_t can_crc15(std::span<const std::uint8_t> bits) {
    std::uint16_t crc = 0;
    for (std::uint8_t bit : bits) {
        const bool next = ((bit & 1U) != 0) != ((crc & 0x4000U) != 0);
        crc = static_cast<std::uint16_t>((crc << 1) & 0x7FFFU);
        if (next) crc ^= CRC15_POLYNOMIAL;
    }
    return crc;
}

std::vector<std::uint8_t> can_stuffed_region(std::uint32_t id, bool extended,
                                             std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> bits{DOMINANT};  // start of frame
    if (extended) {
        append(bits, id >> 18, 11);
        bits.push_back(RECESSIVE);  // SRR
        bits.push_back(RECESSIVE);  // IDE
        append(bits, id & 0x3FFFFU, 18);
        bits.push_back(DOMINANT);  // RTR: a data frame
        bits.push_back(DOMINANT);  // r1
    } else {
        append(bits, id, 11);
        bits.push_back(DOMINANT);  // RTR: a data frame
        bits.push_back(DOMINANT);  // IDE: standard
    }
    bits.push_back(DOMINANT);  // r0
    append(bits, static_cast<std::uint32_t>(data.size()), 4);
    for (std::uint8_t byte : data) append(bits, byte, 8);
    append(bits, can_crc15(bits), 15);
    return bits;
}

std::vector<std::uint8_t> can_stuff(std::span<const std::uint8_t> bits) {
    std::vector<std::uint8_t> out;
    unsigned run = 0;
    for (std::uint8_t bit : bits) {
        run = !out.empty() && out.back() == bit ? run + 1 : 1;
        out.push_back(bit);
        if (run == 5) {
            out.push_back(static_cast<std::uint8_t>(bit ^ 1U));
            run = 1;
        }
    }
    return out;
}

unsigned can_frame_bits(std::uint32_t id, bool extended, std::span<const std::uint8_t> data) {
    const auto stuffed = can_stuff(can_stuffed_region(id, extended, data));
    return static_cast<unsigned>(stuffed.size()) + CAN_FRAME_TAIL_BITS;
}

}  // namespace kestro::sim::wire
