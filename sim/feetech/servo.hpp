// One simulated Feetech servo: its register memory and a shaft that follows the goal position.
// Not thread-safe; the bus model guards it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace kestro::sim {

// The addresses the model gives a meaning to; every other byte is plain memory.
namespace feetech_address {
inline constexpr std::uint8_t ID = 5;
inline constexpr std::uint8_t RETURN_DELAY = 7;  // 2 µs steps
// Angle limits, 2 bytes each, in counts: the shaft never drives past them, whatever the goal.
inline constexpr std::uint8_t MIN_ANGLE_LIMIT = 9;
inline constexpr std::uint8_t MAX_ANGLE_LIMIT = 11;
// Position-loop gains: P, D, I in this order.
inline constexpr std::uint8_t GAIN_P = 21;
inline constexpr std::uint8_t GAIN_D = 22;
inline constexpr std::uint8_t GAIN_I = 23;
inline constexpr std::uint8_t OFFSET = 31;  // 2 bytes, sign-magnitude, bit 11 = negative
inline constexpr std::uint8_t TORQUE_ENABLE = 40;
inline constexpr std::uint8_t GOAL_POSITION = 42;  // 2 bytes, signed
inline constexpr std::uint8_t LOCK = 55;
inline constexpr std::uint8_t PRESENT_POSITION = 56;  // 2 bytes, signed
inline constexpr std::uint8_t PRESENT_VOLTAGE = 62;
// Present position, speed, load, voltage, temperature...: measured, so writes are ignored.
inline constexpr std::uint8_t FIRST_READ_ONLY = 56;
inline constexpr std::uint8_t LAST_READ_ONLY = 70;
}  // namespace feetech_address

class FeetechSimServo {
public:
    static constexpr int COUNTS_PER_TURN = 4096;
    static constexpr int CENTRE = 2048;
    static constexpr std::uint8_t DEFAULT_VOLTAGE = 120;  // 12.0 V
    // Bit 0 of a status packet's error byte.
    static constexpr std::uint8_t INPUT_VOLTAGE_ERROR = 0x01;

    // Powered up: centred, torque off, EEPROM locked, 12.0 V supply, offset 0, gains P 32,
    // D 32, I 0, angle limits 0 and 4095.
    explicit FeetechSimServo(std::uint8_t id);

    // With torque on, moves the shaft toward the goal, clamped to the angle limits, by at most
    // `counts_per_second` × elapsed.
    void advance(std::chrono::nanoseconds elapsed, double counts_per_second);

    // Register bytes as a read instruction returns them; cut short at the end of memory.
    std::vector<std::uint8_t> read(std::uint8_t address, std::uint8_t length) const;
    // A write instruction: measured registers and the id stay as they are, and the offset is
    // left alone while the EEPROM lock is set.
    void write(std::uint8_t address, std::span<const std::uint8_t> data);
    // What a restart resets: torque off, goal = where the shaft is, EEPROM locked again.
    void reboot();

    // Raw memory access for tests, past every rule of write().
    std::uint8_t register_value(std::uint8_t address) const { return memory_[address]; }
    void set_register(std::uint8_t address, std::uint8_t value) { memory_[address] = value; }

    // Absolute shaft position in counts, 0 to 4095.
    int encoder_position() const;
    void set_encoder_position(int counts);
    // What the servo reports: encoder − offset, wrapped to one turn.
    int present_position() const;
    void set_present_position(int counts);
    int goal_position() const;
    bool torque_enabled() const { return memory_[feetech_address::TORQUE_ENABLE] != 0; }

    // The error byte of its status packets: the flags set here, and the input-voltage flag
    // after a brown-out.
    std::uint8_t error_byte() const;
    void set_error_flags(std::uint8_t flags) { error_flags_ = flags; }
    // A supply dip: torque drops, and the input-voltage flag stays set until torque is written
    // on again.
    void brown_out();

private:
    int offset_counts() const;
    int word(std::uint8_t address) const;
    void set_word(std::uint8_t address, int value);

    std::array<std::uint8_t, 256> memory_{};
    double encoder_ = CENTRE;  // fractional counts, so slow motion accumulates
    std::uint8_t error_flags_ = 0;
    bool browned_out_ = false;
};

}  // namespace kestro::sim
