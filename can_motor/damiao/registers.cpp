#include "can_motor/damiao/registers.hpp"

#include <array>
#include <optional>

namespace kestro::can_motor::damiao {
namespace {

constexpr RegisterType F = RegisterType::Float;
constexpr RegisterType U = RegisterType::Uint32;

constexpr std::array<RegisterInfo, 53> ROWS{{
    {0, "UV_Value", "Under-voltage protection value", true, F},
    {1, "KT_Value", "Torque coefficient", true, F},
    {2, "OT_Value", "Over-temperature protection", true, F},
    {3, "OC_Value", "Over-current protection", true, F},
    {4, "ACC", "Acceleration", true, F},
    {5, "DEC", "Deceleration", true, F},
    {6, "MAX_SPD", "Maximum speed", true, F},
    {7, "MST_ID", "Feedback (master) CAN id", true, U},
    {8, "ESC_ID", "Receive (motor) CAN id", true, U},
    {9, "TIMEOUT", "Timeout alarm (1 unit = 50 us)", true, U},
    {10, "CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", true, U},
    {11, "Damp", "Viscous damping coefficient", false, F},
    {12, "Inertia", "Moment of inertia", false, F},
    {13, "hw_ver", "Hardware version (reserved)", false, U},
    {14, "sw_ver", "Software version", false, U},
    {15, "SN", "Serial number (reserved)", false, U},
    {16, "NPP", "Motor pole pairs", false, U},
    {17, "Rs", "Phase resistance", false, F},
    {18, "Ls", "Phase inductance", false, F},
    {19, "Flux", "Flux linkage", false, F},
    {20, "Gr", "Gear reduction ratio", false, F},
    {21, "PMAX", "Position mapping range", true, F},
    {22, "VMAX", "Speed mapping range", true, F},
    {23, "TMAX", "Torque mapping range", true, F},
    {24, "I_BW", "Current loop bandwidth", true, F},
    {25, "KP_ASR", "Speed loop Kp", true, F},
    {26, "KI_ASR", "Speed loop Ki", true, F},
    {27, "KP_APR", "Position loop Kp", true, F},
    {28, "KI_APR", "Position loop Ki", true, F},
    {29, "OV_Value", "Over-voltage protection", true, F},
    {30, "GREF", "Gear torque efficiency", true, F},
    {31, "Deta", "Speed loop damping", true, F},
    {32, "V_BW", "Speed loop filter bandwidth", true, F},
    {33, "IQ_c1", "Current loop enhancement", true, F},
    {34, "VL_c1", "Speed loop enhancement", true, F},
    {35, "can_br", "CAN baud rate code (0..4)", true, U},
    {36, "sub_ver", "Sub-version number", false, U},
    {50, "u_off", "U-phase offset", false, F},
    {51, "v_off", "V-phase offset", false, F},
    {52, "k1", "Compensation factor 1", false, F},
    {53, "k2", "Compensation factor 2", false, F},
    {54, "m_off", "Output-shaft angle offset", false, F},
    {55, "dir", "Direction", false, F},
    {56, "m_off_motor", "Motor-side angle offset", false, F},
    {59, "Imax", "Driver board max current", false, F},
    {60, "VBus", "Power supply voltage", false, F},
    {61, "Tpcb", "Driver board temperature", false, F},
    {62, "Tmtr", "Motor temperature", false, F},
    {63, "Iu_off", "U-phase current offset", false, F},
    {64, "Iv_off", "V-phase current offset", false, F},
    {65, "Iw_off", "W-phase current offset", false, F},
    {80, "p_m", "Motor position", false, F},
    {81, "xout", "Output shaft position", false, F},
}};

// Highest id with a row, plus one: the size of the table indexed by id.
constexpr std::size_t INDEX_SIZE = 82;

// Every lookup is a direct index; ids without a row hold nothing.
constexpr std::array<std::optional<RegisterInfo>, INDEX_SIZE> BY_ID = [] {
    std::array<std::optional<RegisterInfo>, INDEX_SIZE> index{};
    for (const RegisterInfo& row : ROWS) index[row.id] = row;
    return index;
}();

}  // namespace

std::string_view type_name(RegisterType type) {
    return type == RegisterType::Float ? "Float" : "Uint32";
}

const RegisterInfo* lookup(std::uint8_t id) {
    if (id >= INDEX_SIZE || !BY_ID[id]) return nullptr;
    return &*BY_ID[id];
}

std::span<const RegisterInfo> register_table() { return ROWS; }

}  // namespace kestro::can_motor::damiao
