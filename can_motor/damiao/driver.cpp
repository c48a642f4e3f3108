#include "can_motor/damiao/driver.hpp"

#include <cmath>
#include <thread>
#include <utility>

#include "common/text.hpp"

namespace kestro::can_motor::damiao {
namespace {

// Status requests and register frames all go to this identifier, addressed by the motor's
// can_id in the first two payload bytes.
constexpr std::uint16_t SERVICE_ID = 0x7FF;
constexpr std::uint8_t STATUS_REQUEST = 0xCC;
constexpr std::uint8_t REGISTER_READ = 0x33;
constexpr std::uint8_t REGISTER_WRITE = 0x55;

constexpr std::array<std::uint8_t, 8> ENABLE_PAYLOAD{0xFF, 0xFF, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0xFF, 0xFC};
constexpr std::array<std::uint8_t, 8> DISABLE_PAYLOAD{0xFF, 0xFF, 0xFF, 0xFF,
                                                      0xFF, 0xFF, 0xFF, 0xFD};
constexpr std::array<std::uint8_t, 8> CLEAR_ERROR_PAYLOAD{0xFF, 0xFF, 0xFF, 0xFF,
                                                          0xFF, 0xFF, 0xFF, 0xFB};

// How long a motor is given to switch its control mode before it is asked again.
constexpr auto MODE_CHANGE_PAUSE = std::chrono::milliseconds(100);

CanId standard_id(std::uint16_t id) { return CanId::standard(id & CanId::STANDARD_MAX); }

CanFrame classic_frame(std::uint16_t id, const std::array<std::uint8_t, 8>& payload) {
    return CanFrame{standard_id(id), {payload.begin(), payload.end()}, false, false};
}

std::array<std::uint8_t, 8> service_payload(std::uint16_t can_id, std::uint8_t operation,
                                            std::uint8_t reg, std::uint32_t value) {
    const auto byte = [](std::uint32_t word, int shift) {
        return static_cast<std::uint8_t>(word >> shift);
    };
    return {byte(can_id, 0), byte(can_id, 8), operation,        reg,
            byte(value, 0),  byte(value, 8),  byte(value, 16), byte(value, 24)};
}

// A reply names the motor in its first two bytes, as the request did: a late answer of another
// motor to an earlier read that timed out must not be taken for this motor's value.
bool is_register_reply(const CanFrame& frame, std::uint16_t can_id, std::uint8_t reg) {
    return frame.data.size() == 8 && frame.data[0] == (can_id & 0xFF) &&
           frame.data[1] == (can_id >> 8) && frame.data[2] == REGISTER_READ &&
           frame.data[3] == reg;
}

std::uint32_t value_of(const CanFrame& reply) {
    return std::uint32_t{reply.data[4]} | (std::uint32_t{reply.data[5]} << 8) |
           (std::uint32_t{reply.data[6]} << 16) | (std::uint32_t{reply.data[7]} << 24);
}

// The first limit that is negative or NaN, by name, with its value.
std::optional<std::pair<const char*, float>> unusable_limit(const MitLimits& limits) {
    const std::pair<const char*, float> named[] = {{"p_max", limits.p_max},
                                                   {"v_max", limits.v_max},
                                                   {"kp_max", limits.kp_max},
                                                   {"kd_max", limits.kd_max},
                                                   {"t_max", limits.t_max}};
    for (const auto& limit : named) {
        if (std::isnan(limit.second) || limit.second < 0.0f) return limit;
    }
    return std::nullopt;
}

}  // namespace

Result<Damiao, std::string> Damiao::create(std::chrono::nanoseconds timeout, MitLimits limits,
                                           std::uint16_t can_id, std::uint16_t master_id) {
    if (auto bad = unusable_limit(limits)) {
        return fail("invalid MIT limits for CAN id " + std::to_string(can_id) + ": " +
                    bad->first + " must be a non-negative number, got " +
                    text::shortest(bad->second));
    }
    return Damiao(timeout, limits, can_id, master_id);
}

Result<MitState, Error> Damiao::enable(CanTransport& can) const {
    return cmd_at_arbitration(can, can_id_, ENABLE_PAYLOAD);
}

Result<MitState, Error> Damiao::disable(CanTransport& can) const {
    return cmd_at_arbitration(can, can_id_, DISABLE_PAYLOAD);
}

Result<MitState, Error> Damiao::clear_error(CanTransport& can) const {
    return cmd_at_arbitration(can, can_id_, CLEAR_ERROR_PAYLOAD);
}

Result<MitState, Error> Damiao::control(CanTransport& can, const ControlCommand& command) const {
    const ArbitratedPayload frame = command_frame(can_id_, limits_, command);
    return cmd_at_arbitration(can, frame.arbitration_id, frame.payload);
}

Result<MitState, Error> Damiao::request_feedback(CanTransport& can) const {
    return cmd_at_arbitration(can, SERVICE_ID, service_payload(can_id_, STATUS_REQUEST, 0, 0));
}

Result<MitState, Error> Damiao::cmd_at_arbitration(
    CanTransport& can, std::uint16_t arbitration_id,
    const std::array<std::uint8_t, 8>& payload) const {
    KESTRO_TRY_ASSIGN(CanFrame reply, can.request(classic_frame(arbitration_id, payload),
                                                  standard_id(master_id_), timeout_));
    std::optional<MitState> state = decode_state(limits_, reply.data);
    // A feedback frame too short to hold a state is the request's failure, not a state.
    if (!state) return fail(Error::UnexpectedReply{{reply.data.begin(), reply.data.end()}});
    return *state;
}

Result<RegisterValue, Error> Damiao::read_register(CanTransport& can, std::uint8_t reg) const {
    const RegisterInfo* info = lookup(reg);
    if (info == nullptr) return fail(Error::UnknownRegister{reg});
    KESTRO_TRY(can.send_expecting_reply(
        classic_frame(SERVICE_ID, service_payload(can_id_, REGISTER_READ, reg, 0))));
    KESTRO_TRY_ASSIGN(const CanFrame reply,
                      can.recv_matching(Deadline(timeout_), [this, reg](const CanFrame& frame) {
                          return is_register_reply(frame, can_id_, reg);
                      }));
    return RegisterValue::from_bits(info->value_type, value_of(reply));
}

Result<void, Error> Damiao::write_register(CanTransport& can, std::uint8_t reg,
                                           RegisterValue value) const {
    const RegisterInfo* info = lookup(reg);
    if (info == nullptr) return fail(Error::UnknownRegister{reg});
    if (!info->writable) return fail(Error::ReadOnly{reg});
    if (value.type() != info->value_type) {
        return fail(Error::TypeMismatch{reg, info->value_type, value.type()});
    }
    KESTRO_TRY(can.send(
        classic_frame(SERVICE_ID, service_payload(can_id_, REGISTER_WRITE, reg, value.bits()))));
    return {};
}

Result<void, Error> Damiao::ensure_control_mode(CanTransport& can, std::uint8_t mode) const {
    KESTRO_TRY_ASSIGN(const std::uint32_t current, read_control_mode(can));
    if (current == mode) return {};
    KESTRO_TRY(write_register(can, CTRL_MODE, RegisterValue::Uint32(mode)));
    std::this_thread::sleep_for(MODE_CHANGE_PAUSE);
    KESTRO_TRY_ASSIGN(const std::uint32_t reported, read_control_mode(can));
    if (reported == mode) return {};
    return fail(Error::ModeVerification{mode, static_cast<std::uint8_t>(reported)});
}

Result<std::uint32_t, Error> Damiao::read_control_mode(CanTransport& can) const {
    KESTRO_TRY_ASSIGN(const RegisterValue value, read_register(can, CTRL_MODE));
    std::optional<std::uint32_t> mode = value.as_uint32();
    if (!mode) {
        return fail(Error::TypeMismatch{CTRL_MODE, RegisterType::Uint32, RegisterType::Float});
    }
    return *mode;
}

}  // namespace kestro::can_motor::damiao
