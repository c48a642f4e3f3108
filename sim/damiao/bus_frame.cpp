#include "sim/damiao/bus_frame.hpp"

#include <algorithm>

namespace kestro::sim::bus_record {
namespace {

constexpr std::uint32_t extended_flag = 0x80000000;
constexpr std::uint32_t remote_flag = 0x40000000;
constexpr std::uint32_t error_flag = 0x20000000;
constexpr std::size_t payload_offset = 8;

}  // namespace

std::vector<std::uint8_t> pack(const BusFrame& frame) {
    std::vector<std::uint8_t> record(frame.fd ? fd_size : classic_size, 0);
    const std::uint32_t word = frame.id | (frame.extended ? extended_flag : 0);
    for (int i = 0; i < 4; ++i) record[i] = static_cast<std::uint8_t>(word >> (8 * i));
    const std::size_t length = std::min(frame.data.size(), record.size() - payload_offset);
    record[4] = static_cast<std::uint8_t>(length);
    if (frame.fd) record[5] = 0x04;
    std::copy_n(frame.data.begin(), length, record.begin() + payload_offset);
    return record;
}

std::optional<BusFrame> unpack(std::span<const std::uint8_t> record) {
    if (record.size() != classic_size && record.size() != fd_size) return std::nullopt;
    std::uint32_t word = 0;
    for (int i = 0; i < 4; ++i) word |= std::uint32_t{record[i]} << (8 * i);
    if (word & (remote_flag | error_flag)) return std::nullopt;
    BusFrame frame;
    frame.extended = (word & extended_flag) != 0;
    frame.id = word & (frame.extended ? 0x1FFFFFFFu : 0x7FFu);
    frame.fd = record.size() == fd_size;
    const std::size_t length = std::min<std::size_t>(record[4], record.size() - payload_offset);
    frame.data.assign(record.begin() + payload_offset,
                      record.begin() + static_cast<std::ptrdiff_t>(payload_offset + length));
    return frame;
}

}  // namespace kestro::sim::bus_record
