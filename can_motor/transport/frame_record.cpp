#include "can_motor/transport/frame_record.hpp"

#include <linux/can.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace kestro::can_motor::frame_record {

static_assert(sizeof(can_frame) == CLASSIC_SIZE && sizeof(canfd_frame) == FD_SIZE);

namespace {

canid_t raw_id(const CanId& id) {
    return id.is_extended() ? (id.value() | CAN_EFF_FLAG) : id.value();
}

CanId id_of(canid_t raw) {
    if (raw & CAN_EFF_FLAG) return CanId::extended(raw & CAN_EFF_MASK);
    return CanId::standard(static_cast<std::uint16_t>(raw & CAN_SFF_MASK));
}

template <class KernelFrame>
Record record_of(const KernelFrame& frame) {
    Record record;
    std::memcpy(record.bytes.data(), &frame, sizeof frame);
    record.size = sizeof frame;
    return record;
}

CanFrame classic_frame(std::span<const std::uint8_t> bytes) {
    can_frame raw;
    std::memcpy(&raw, bytes.data(), sizeof raw);
    // An error frame's details fill the whole payload whatever its length byte says.
    const bool error_frame = raw.can_id & CAN_ERR_FLAG;
    const std::size_t length =
        error_frame ? CAN_MAX_DLEN : std::min<std::size_t>(raw.len, CAN_MAX_DLEN);
    return CanFrame{id_of(raw.can_id), {raw.data, raw.data + length}, false, false};
}

CanFrame fd_frame(std::span<const std::uint8_t> bytes) {
    canfd_frame raw;
    std::memcpy(&raw, bytes.data(), sizeof raw);
    const std::size_t length = std::min<std::size_t>(raw.len, CANFD_MAX_DLEN);
    return CanFrame{id_of(raw.can_id), {raw.data, raw.data + length}, true,
                    (raw.flags & CANFD_BRS) != 0};
}

}  // namespace

std::size_t fd_length(std::size_t payload_length) {
    if (payload_length <= CAN_MAX_DLEN) return payload_length;
    for (std::size_t allowed : {12, 16, 20, 24, 32, 48}) {
        if (payload_length <= allowed) return allowed;
    }
    return CANFD_MAX_DLEN;
}

Result<Record, CanError> encode(const CanFrame& frame) {
    if (!frame.id.in_range()) return fail(CanError::invalid_id());
    const std::size_t length = frame.data.size();
    if (frame.fd) {
        // Every payload fits an FD frame: the payload type holds no more.
        static_assert(CanPayload::CAPACITY == CANFD_MAX_DLEN);
        canfd_frame raw{};
        raw.can_id = raw_id(frame.id);
        raw.len = static_cast<std::uint8_t>(fd_length(length));
        raw.flags = CANFD_FDF | (frame.brs ? CANFD_BRS : 0);
        std::copy(frame.data.begin(), frame.data.end(), raw.data);
        return record_of(raw);
    }
    if (length > CAN_MAX_DLEN) return fail(CanError::frame_too_large(length));
    can_frame raw{};
    raw.can_id = raw_id(frame.id);
    raw.len = static_cast<std::uint8_t>(length);
    std::copy(frame.data.begin(), frame.data.end(), raw.data);
    return record_of(raw);
}

Result<CanFrame, CanError> decode(std::span<const std::uint8_t> record) {
    if (record.size() == CLASSIC_SIZE) return classic_frame(record);
    if (record.size() == FD_SIZE) return fd_frame(record);
    return fail(CanError::backend(IoError::custom(
        IoErrorKind::Other,
        "received a CAN frame record of " + std::to_string(record.size()) +
            " bytes, expected 16 or 72")));
}

}  // namespace kestro::can_motor::frame_record
