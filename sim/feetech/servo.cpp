#include "sim/feetech/servo.hpp"

#include <algorithm>
#include <cmath>

namespace kestro::sim {
namespace {

double wrap_turn(double counts) {
    const double wrapped = std::fmod(counts, FeetechSimServo::COUNTS_PER_TURN);
    return wrapped < 0 ? wrapped + FeetechSimServo::COUNTS_PER_TURN : wrapped;
}

int whole_counts(double counts) {
    return static_cast<int>(std::lround(counts)) % FeetechSimServo::COUNTS_PER_TURN;
}

}  // namespace

FeetechSimServo::FeetechSimServo(std::uint8_t id) {
    memory_[feetech_address::ID] = id;
    memory_[feetech_address::LOCK] = 1;
    memory_[feetech_address::PRESENT_VOLTAGE] = DEFAULT_VOLTAGE;
    memory_[feetech_address::GAIN_P] = 32;
    memory_[feetech_address::GAIN_D] = 32;
    set_word(feetech_address::GOAL_POSITION, CENTRE);
    set_word(feetech_address::MIN_ANGLE_LIMIT, 0);
    set_word(feetech_address::MAX_ANGLE_LIMIT, COUNTS_PER_TURN - 1);
}

void FeetechSimServo::advance(std::chrono::nanoseconds elapsed, double counts_per_second) {
    if (!torque_enabled()) return;
    // A goal beyond the angle limits drives to the nearer limit, as on the real servos; limits
    // outside one turn still stop at its ends.
    const int lowest = std::clamp(word(feetech_address::MIN_ANGLE_LIMIT), 0, COUNTS_PER_TURN - 1);
    const int highest =
        std::clamp(word(feetech_address::MAX_ANGLE_LIMIT), lowest, COUNTS_PER_TURN - 1);
    const double target = std::clamp(goal_position(), lowest, highest);
    const double present = wrap_turn(encoder_ - offset_counts());
    const double reach = counts_per_second * std::chrono::duration<double>(elapsed).count();
    encoder_ = wrap_turn(encoder_ + std::clamp(target - present, -reach, reach));
}

std::vector<std::uint8_t> FeetechSimServo::read(std::uint8_t address, std::uint8_t length) const {
    auto image = memory_;
    const auto present = static_cast<std::uint16_t>(present_position());
    image[feetech_address::PRESENT_POSITION] = static_cast<std::uint8_t>(present & 0xFF);
    image[feetech_address::PRESENT_POSITION + 1] = static_cast<std::uint8_t>(present >> 8);
    const std::size_t end = std::min<std::size_t>(image.size(), std::size_t{address} + length);
    return std::vector<std::uint8_t>(image.begin() + address,
                                     image.begin() + static_cast<std::ptrdiff_t>(end));
}

void FeetechSimServo::write(std::uint8_t address, std::span<const std::uint8_t> data) {
    const bool locked = memory_[feetech_address::LOCK] != 0;
    for (std::size_t i = 0; i < data.size() && address + i < memory_.size(); ++i) {
        const std::size_t target = address + i;
        const bool measured =
            target >= feetech_address::FIRST_READ_ONLY && target <= feetech_address::LAST_READ_ONLY;
        const bool offset =
            target == feetech_address::OFFSET || target == feetech_address::OFFSET + 1U;
        // Re-addressing a servo is not modelled: the bus keeps finding it under its first id.
        if (measured || target == feetech_address::ID || (offset && locked)) continue;
        memory_[target] = data[i];
        if (target == feetech_address::TORQUE_ENABLE && data[i] != 0) browned_out_ = false;
    }
}

void FeetechSimServo::reboot() {
    memory_[feetech_address::TORQUE_ENABLE] = 0;
    memory_[feetech_address::LOCK] = 1;
    set_word(feetech_address::GOAL_POSITION, present_position());
}

std::uint8_t FeetechSimServo::error_byte() const {
    return browned_out_ ? static_cast<std::uint8_t>(error_flags_ | INPUT_VOLTAGE_ERROR)
                        : error_flags_;
}

void FeetechSimServo::brown_out() {
    memory_[feetech_address::TORQUE_ENABLE] = 0;
    browned_out_ = true;
}

int FeetechSimServo::encoder_position() const {
    return whole_counts(encoder_);
}

void FeetechSimServo::set_encoder_position(int counts) {
    encoder_ = wrap_turn(counts);
}

int FeetechSimServo::present_position() const {
    return whole_counts(wrap_turn(encoder_ - offset_counts()));
}

void FeetechSimServo::set_present_position(int counts) {
    encoder_ = wrap_turn(counts + offset_counts());
}

int FeetechSimServo::goal_position() const {
    return static_cast<std::int16_t>(word(feetech_address::GOAL_POSITION));
}

int FeetechSimServo::offset_counts() const {
    const int raw = word(feetech_address::OFFSET);
    const int magnitude = raw & 0x7FF;
    return (raw & 0x800) != 0 ? -magnitude : magnitude;
}

int FeetechSimServo::word(std::uint8_t address) const {
    return memory_[address] | (memory_[address + 1U] << 8);
}

void FeetechSimServo::set_word(std::uint8_t address, int value) {
    memory_[address] = static_cast<std::uint8_t>(value & 0xFF);
    memory_[address + 1U] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

}  // namespace kestro::sim
