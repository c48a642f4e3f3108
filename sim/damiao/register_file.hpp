// A simulated motor's configuration and status registers: which ids exist, which accept
// writes, and their 32-bit contents (floats as IEEE-754 bit patterns).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace kestro::sim {

namespace damiao_reg {
inline constexpr std::uint8_t MST_ID = 7;
inline constexpr std::uint8_t ESC_ID = 8;
inline constexpr std::uint8_t TIMEOUT = 9;  // communication watch, in TIMEOUT_UNIT steps; 0 off
inline constexpr std::uint8_t CTRL_MODE = 10;
inline constexpr std::uint8_t PMAX = 21;
inline constexpr std::uint8_t VMAX = 22;
inline constexpr std::uint8_t TMAX = 23;
inline constexpr std::uint8_t Tpcb = 61;
inline constexpr std::uint8_t Tmtr = 62;
inline constexpr std::uint8_t P_M = 80;
inline constexpr std::uint8_t XOUT = 81;

// One step of the TIMEOUT register.
inline constexpr std::chrono::microseconds TIMEOUT_UNIT{50};
}  // namespace damiao_reg

class DamiaoRegisterFile {
public:
    // Every register at a plausible factory value; the identifiers, mode and mapping ranges
    // as given.
    DamiaoRegisterFile(std::uint16_t can_id, std::uint16_t master_id, std::uint32_t control_mode,
                       float p_max, float v_max, float t_max);

    bool exists(std::uint8_t id) const;
    bool writable(std::uint8_t id) const;

    // Nothing for an id the motor does not have.
    std::optional<std::uint32_t> bits(std::uint8_t id) const;
    float float_value(std::uint8_t id) const;

    // Stores without asking whether the register is writable: the motor's own updates of its
    // status registers. Ignored for an id the motor does not have.
    void store(std::uint8_t id, std::uint32_t bits);
    void store_float(std::uint8_t id, float value);

private:
    struct Slot {
        bool exists = false;
        bool writable = false;
        std::uint32_t bits = 0;
    };
    std::array<Slot, 82> slots_{};
};

}  // namespace kestro::sim
