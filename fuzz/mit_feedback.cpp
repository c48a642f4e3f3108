// The MIT feedback decoder, damiao::decode_state, on arbitrary payloads.
//
// Input: a limits selector (0 to 2: the neck motors' ranges; anything else: three 32-bit floats
// p_max, v_max and t_max follow), then the payload. Checked: payloads shorter than 8 bytes are
// refused and bytes past the eighth are ignored; id, status and temperatures come from their
// bit fields; with usable ranges every value lies inside its range and encodes back to the
// field it was decoded from (give or take the last code, which truncation may lose).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "can_motor/damiao/mit.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using kestro::can_motor::damiao::MitCommand;
using kestro::can_motor::damiao::MitLimits;
using kestro::can_motor::damiao::MitState;
using kestro::fuzz::same_bits;

// The neck motors' ranges (p_max, v_max, kp_max, kd_max, t_max), as the controller sets them.
constexpr MitLimits neck_limits[] = {
    {12.5f, 30.0f, 500.0f, 5.0f, 10.0f},
    {12.5f, 10.0f, 500.0f, 5.0f, 28.0f},
    {12.5f, 10.0f, 500.0f, 5.0f, 28.0f},
};

// The fields of a feedback payload, read as one big-endian 64-bit word.
struct Fields {
    std::uint32_t motor_id, status, position, velocity, torque, temp_driver, temp_motor;
};

Fields fields_of(std::span<const std::uint8_t> payload) {
    std::uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word = (word << 8) | payload[i];
    const auto bits = [word](int from_top, int count) {
        return static_cast<std::uint32_t>((word >> (64 - from_top - count)) & ((1u << count) - 1));
    };
    return {bits(4, 4), bits(0, 4), bits(8, 16), bits(24, 12), bits(36, 12), bits(48, 8),
            bits(56, 8)};
}

bool same_state(const MitState& a, const MitState& b) {
    return same_bits(a.position, b.position) && same_bits(a.velocity, b.velocity) &&
           same_bits(a.torque, b.torque) && a.motor_id == b.motor_id && a.status == b.status &&
           a.temp_driver == b.temp_driver && a.temp_motor == b.temp_motor;
}

// A range the float arithmetic of both directions handles without overflow or loss of
// precision; the controller's ranges are well inside.
bool usable(float range) { return range >= 1e-3f && range <= 1e6f; }

void check_in_range(float value, float range, const char* name) {
    FUZZ_CHECK(std::fabs(value) <= range * (1.0f + 1e-6f), "%s %g outside +-%g", name, value,
               range);
}

void check_same_code(std::uint32_t decoded, std::uint32_t encoded, const char* name) {
    const std::uint32_t gap = decoded > encoded ? decoded - encoded : encoded - decoded;
    FUZZ_CHECK(gap <= 1, "%s code %u decodes to a value that encodes as %u", name, decoded,
               encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestro::fuzz::ByteReader input({data, size});
    const std::uint8_t selector = input.u8();
    MitLimits limits{};
    if (selector < 3) {
        limits = neck_limits[selector];
    } else {
        limits.p_max = input.f32();
        limits.v_max = input.f32();
        limits.t_max = input.f32();
    }
    const auto payload = input.rest();

    const auto state = kestro::can_motor::damiao::decode_state(limits, payload);
    if (payload.size() < 8) {
        FUZZ_CHECK(!state.has_value(), "a %zu-byte payload decoded as a state", payload.size());
        return 0;
    }
    FUZZ_CHECK(state.has_value(), "an %zu-byte payload was refused", payload.size());
    const auto first_eight = kestro::can_motor::damiao::decode_state(limits, payload.first(8));
    FUZZ_CHECK(first_eight && same_state(*state, *first_eight),
               "bytes past the eighth changed the state");

    const Fields fields = fields_of(payload);
    FUZZ_CHECK(state->motor_id == fields.motor_id && state->status == fields.status,
               "id/status %u/%u from byte 0x%02X", state->motor_id, state->status, payload[0]);
    FUZZ_CHECK(state->temp_driver == fields.temp_driver && state->temp_motor == fields.temp_motor,
               "temperatures %u/%u from bytes %u/%u", state->temp_driver, state->temp_motor,
               payload[6], payload[7]);

    if (!usable(limits.p_max) || !usable(limits.v_max) || !usable(limits.t_max)) return 0;
    check_in_range(state->position, limits.p_max, "position");
    check_in_range(state->velocity, limits.v_max, "velocity");
    check_in_range(state->torque, limits.t_max, "torque");

    // Encoding shares no code with decoding beyond the ranges: a field read from the wrong bits
    // comes back as another code.
    limits.kp_max = 500.0f;
    limits.kd_max = 5.0f;
    const auto again = kestro::can_motor::damiao::encode(
        limits, MitCommand{state->position, state->velocity, 0.0f, 0.0f, state->torque});
    // A command payload has the feedback layout shifted by one byte, the gains in between.
    std::uint64_t word = 0;
    for (std::uint8_t byte : again) word = (word << 8) | byte;
    check_same_code(fields.position, static_cast<std::uint32_t>(word >> 48), "position");
    check_same_code(fields.velocity, static_cast<std::uint32_t>((word >> 36) & 0xFFF), "velocity");
    check_same_code(fields.torque, static_cast<std::uint32_t>(word & 0xFFF), "torque");
    return 0;
}
