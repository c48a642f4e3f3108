#include "sim/damiao/register_file.hpp"

#include <bit>
#include <initializer_list>
#include <utility>

namespace kestro::sim {
namespace {

constexpr std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// Factory contents of the registers whose value does not depend on the motor's set-up;
// integer registers are listed as integers, the others as floats.
const std::initializer_list<std::pair<std::uint8_t, float>> FLOAT_DEFAULTS = {
    {0, 10.0f},      // UV_Value
    {1, 0.1f},       // KT_Value
    {2, 80.0f},      // OT_Value
    {3, 0.98f},      // OC_Value
    {4, 10.0f},      // ACC
    {5, -10.0f},     // DEC
    {6, 30.0f},      // MAX_SPD
    {11, 0.0f},      // Damp
    {12, 0.0f},      // Inertia
    {17, 0.5f},      // Rs
    {18, 0.0002f},   // Ls
    {19, 0.005f},    // Flux
    {20, 10.0f},     // Gr
    {24, 1000.0f},   // I_BW
    {25, 0.01f},     // KP_ASR
    {26, 0.002f},    // KI_ASR
    {27, 30.0f},     // KP_APR
    {28, 0.001f},    // KI_APR
    {29, 32.0f},     // OV_Value
    {30, 1.0f},      // GREF
    {31, 1.0f},      // Deta
    {32, 500.0f},    // V_BW
    {33, 1.0f},      // IQ_c1
    {34, 1.0f},      // VL_c1
    {50, 0.0f},  {51, 0.0f}, {52, 1.0f}, {53, 1.0f}, {54, 0.0f}, {55, 1.0f}, {56, 0.0f},
    {59, 10.0f},     // Imax
    {60, 24.0f},     // VBus
    {61, 35.0f},     // Tpcb
    {62, 32.0f},     // Tmtr
    {63, 0.0f},  {64, 0.0f}, {65, 0.0f},
    {80, 0.0f},      // p_m
    {81, 0.0f},      // xout
};

const std::initializer_list<std::pair<std::uint8_t, std::uint32_t>> INTEGER_DEFAULTS = {
    {9, 0},       // TIMEOUT: no alarm
    {13, 0},      // hw_ver
    {14, 5013},   // sw_ver
    {15, 0},      // SN
    {16, 14},     // NPP
    {35, 4},      // can_br: 1 Mbit/s
    {36, 0},      // sub_ver
};

bool is_writable(std::uint8_t id) { return id <= 10 || (id >= 21 && id <= 35); }

}  // namespace

DamiaoRegisterFile::DamiaoRegisterFile(std::uint16_t can_id, std::uint16_t master_id,
                                       std::uint32_t control_mode, float p_max, float v_max,
                                       float t_max) {
    const auto add = [this](std::uint8_t id, std::uint32_t bits) {
        slots_[id] = Slot{true, is_writable(id), bits};
    };
    for (const auto& [id, value] : FLOAT_DEFAULTS) add(id, bits_of(value));
    for (const auto& [id, value] : INTEGER_DEFAULTS) add(id, value);
    add(damiao_reg::MST_ID, master_id);
    add(damiao_reg::ESC_ID, can_id);
    add(damiao_reg::CTRL_MODE, control_mode);
    add(damiao_reg::PMAX, bits_of(p_max));
    add(damiao_reg::VMAX, bits_of(v_max));
    add(damiao_reg::TMAX, bits_of(t_max));
}

bool DamiaoRegisterFile::exists(std::uint8_t id) const {
    return id < slots_.size() && slots_[id].exists;
}

bool DamiaoRegisterFile::writable(std::uint8_t id) const {
    return exists(id) && slots_[id].writable;
}

std::optional<std::uint32_t> DamiaoRegisterFile::bits(std::uint8_t id) const {
    if (!exists(id)) return std::nullopt;
    return slots_[id].bits;
}

float DamiaoRegisterFile::float_value(std::uint8_t id) const {
    return std::bit_cast<float>(bits(id).value_or(0));
}

void DamiaoRegisterFile::store(std::uint8_t id, std::uint32_t bits) {
    if (exists(id)) slots_[id].bits = bits;
}

void DamiaoRegisterFile::store_float(std::uint8_t id, float value) { store(id, bits_of(value)); }

}  // namespace kestro::sim
