#include "sim/damiao/bus_frame.hpp"

#include <algorithm>

namespace kestro::sim::bus_record {
namespace {

constexpr std::uint32_t EXTENDED_FLAG = 0x80000000;
constexpr std::uint32_t REMOTE_FLAG = 0x40000000;
constexpr std::uint32_t ERROR_FLAG = 0x20000000;
constexpr std::size_t PAYLOAD_OFFSET = 8;

}  // namespace

std::vector<std::uint8_t> pack(const BusFrame& frame) {
    std::vector<std::uint8_t> record(frame.fd ? FD_SIZE : CLASSIC_SIZE, 0);
    const std::uint32_t word = frame.id | (frame.extended ? EXTENDED_FLAG : 0);
    for (int i = 0; i < 4; ++i) record[i] = static_cast<std::uint8_t>(word >> (8 * i));
    const std::size_t length = std::min(frame.data.size(), record.size() - PAYLOAD_OFFSET);
    record[4] = static_cast<std::uint8_t>(length);
    if (frame.fd) record[5] = 0x04;
    std::copy_n(frame.data.begin(), length, record.begin() + PAYLOAD_OFFSET);
    return record;
}

std::optional<BusFrame> unpack(std::span<const std::uint8_t> record) {
    if (record.size() != CLASSIC_SIZE && record.size() != FD_SIZE) return std::nullopt;
    std::uint32_t word = 0;
    for (int i = 0; i < 4; ++i) word |= std::uint32_t{record[i]} << (8 * i);
    if (word & (REMOTE_FLAG | ERROR_FLAG)) return std::nullopt;
    BusFrame frame;
    frame.extended = (word & EXTENDED_FLAG) != 0;
    frame.id = word & (frame.extended ? 0x1FFFFFFFu : 0x7FFu);
    frame.fd = record.size() == FD_SIZE;
    const std::size_t length = std::min<std::size_t>(record[4], record.size() - PAYLOAD_OFFSET);
    frame.data.assign(record.begin() + PAYLOAD_OFFSET,
                      record.begin() + static_cast<std::ptrdiff_t>(PAYLOAD_OFFSET + length));
    return frame;
}

}  // namespace kestro::sim::bus_record
