#include "sim/feetech/bus_model.hpp"

#include <algorithm>

namespace kestro::sim {

using feetech_frame::Request;
namespace instruction = feetech_frame::instruction;

template <class Action>
void FeetechBusModel::update(std::uint8_t id, Action action) {
    std::lock_guard lock(mutex_);
    advance_motion(Clock::now());
    if (auto found = servos_.find(id); found != servos_.end()) action(found->second);
}

template <class Read>
std::optional<std::invoke_result_t<Read, FeetechBusModel::Slot&>> FeetechBusModel::query(
    std::uint8_t id, Read read) {
    std::lock_guard lock(mutex_);
    advance_motion(Clock::now());
    if (auto found = servos_.find(id); found != servos_.end()) return read(found->second);
    return std::nullopt;
}

FeetechBusModel::FeetechBusModel(std::span<const std::uint8_t> ids) {
    for (std::uint8_t id : ids) servos_.try_emplace(id, id);
}

void FeetechBusModel::add_servo(std::uint8_t id) {
    std::lock_guard lock(mutex_);
    servos_.try_emplace(id, id);
}

std::vector<FeetechBusModel::Reply> FeetechBusModel::handle(const Request& request) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    advance_motion(now);
    if (requests_.size() == REQUEST_LOG_LIMIT) requests_.pop_front();
    requests_.push_back(request);

    const auto& params = request.params;
    if (request.id == feetech_frame::BROADCAST_ID) {
        if (request.instruction == instruction::SYNC_READ) return sync_read(params, now);
        if (request.instruction == instruction::SYNC_WRITE) sync_write(params, now);
        return {};
    }

    Slot* slot = awake_servo(request.id, now);
    if (slot == nullptr) return {};
    std::optional<Reply> answer;
    switch (request.instruction) {
        case instruction::READ:
            if (params.size() < 2) return {};
            answer = reply(*slot, slot->servo.read(params[0], params[1]));
            break;
        case instruction::WRITE:
            if (params.empty()) return {};
            slot->servo.write(params[0], std::span(params).subspan(1));
            answer = reply(*slot, {});
            break;
        case instruction::REBOOT:
            // The acknowledgement goes out before the restart.
            answer = reply(*slot, {});
            slot->servo.reboot();
            slot->booting_until = now + reboot_silence_;
            break;
        default:  // ping, and instructions the model only acknowledges
            answer = reply(*slot, {});
            break;
    }
    if (!answer) return {};
    return {std::move(*answer)};
}

std::vector<FeetechBusModel::Reply> FeetechBusModel::sync_read(std::span<const std::uint8_t> params,
                                                               Clock::time_point now) {
    if (params.size() < 2) return {};
    std::vector<std::uint8_t> ids(params.begin() + 2, params.end());
    if (sync_read_reversed_) std::reverse(ids.begin(), ids.end());
    std::vector<Reply> replies;
    for (std::uint8_t id : ids) {
        Slot* slot = awake_servo(id, now);
        if (slot == nullptr) continue;
        if (auto answer = reply(*slot, slot->servo.read(params[0], params[1]))) {
            replies.push_back(std::move(*answer));
        }
    }
    return replies;
}

void FeetechBusModel::sync_write(std::span<const std::uint8_t> params, Clock::time_point now) {
    if (params.size() < 2) return;
    const std::uint8_t address = params[0];
    const std::size_t entry_size = params[1] + 1U;  // id, then the data bytes
    for (auto entries = params.subspan(2); entries.size() >= entry_size;
         entries = entries.subspan(entry_size)) {
        if (Slot* slot = awake_servo(entries[0], now)) {
            slot->servo.write(address, entries.subspan(1, entry_size - 1));
        }
    }
}

FeetechBusModel::Slot* FeetechBusModel::awake_servo(std::uint8_t id, Clock::time_point now) {
    auto found = servos_.find(id);
    if (found == servos_.end() || now < found->second.booting_until) return nullptr;
    return &found->second;
}

void FeetechBusModel::advance_motion(Clock::time_point now) {
    const auto elapsed = now - last_motion_;
    last_motion_ = now;
    for (auto& [id, slot] : servos_) slot.servo.advance(elapsed, speed_);
}

std::optional<FeetechBusModel::Reply> FeetechBusModel::reply(
    const Slot& slot, std::span<const std::uint8_t> params) const {
    if (slot.silent) return std::nullopt;
    const std::uint8_t id = slot.reply_id.value_or(slot.servo.register_value(feetech_address::ID));
    auto bytes = feetech_frame::status_frame(id, slot.servo.error_byte(), params);
    if (slot.corrupt_checksum) bytes.back() = static_cast<std::uint8_t>(~bytes.back());
    return Reply{slot.reply_delay, std::move(bytes),
                 slot.servo.register_value(feetech_address::RETURN_DELAY)};
}

std::vector<Request> FeetechBusModel::requests() {
    std::lock_guard lock(mutex_);
    return {requests_.begin(), requests_.end()};
}

void FeetechBusModel::clear_requests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void FeetechBusModel::set_silent(std::uint8_t id, bool silent) {
    update(id, [&](Slot& slot) { slot.silent = silent; });
}

void FeetechBusModel::set_corrupt_checksum(std::uint8_t id, bool corrupt) {
    update(id, [&](Slot& slot) { slot.corrupt_checksum = corrupt; });
}

void FeetechBusModel::set_reply_id(std::uint8_t id, std::optional<std::uint8_t> reply_id) {
    update(id, [&](Slot& slot) { slot.reply_id = reply_id; });
}

void FeetechBusModel::set_reply_delay(std::uint8_t id, std::chrono::nanoseconds delay) {
    update(id, [&](Slot& slot) { slot.reply_delay = delay; });
}

void FeetechBusModel::set_sync_read_reversed(bool reversed) {
    std::lock_guard lock(mutex_);
    sync_read_reversed_ = reversed;
}

void FeetechBusModel::set_reboot_silence(std::chrono::nanoseconds silence) {
    std::lock_guard lock(mutex_);
    reboot_silence_ = silence;
}

void FeetechBusModel::set_error_flags(std::uint8_t id, std::uint8_t flags) {
    update(id, [&](Slot& slot) { slot.servo.set_error_flags(flags); });
}

void FeetechBusModel::brown_out(std::uint8_t id) {
    update(id, [](Slot& slot) { slot.servo.brown_out(); });
}

void FeetechBusModel::set_speed(double counts_per_second) {
    std::lock_guard lock(mutex_);
    advance_motion(Clock::now());
    speed_ = counts_per_second;
}

void FeetechBusModel::set_register(std::uint8_t id, std::uint8_t address, std::uint8_t value) {
    update(id, [&](Slot& slot) { slot.servo.set_register(address, value); });
}

std::optional<std::uint8_t> FeetechBusModel::register_value(std::uint8_t id, std::uint8_t address) {
    return query(id, [&](Slot& slot) { return slot.servo.read(address, 1).front(); });
}

void FeetechBusModel::set_voltage(std::uint8_t id, std::uint8_t raw) {
    set_register(id, feetech_address::PRESENT_VOLTAGE, raw);
}

void FeetechBusModel::set_supply_voltage(std::uint8_t raw) {
    std::lock_guard lock(mutex_);
    for (auto& [id, slot] : servos_) slot.servo.set_register(feetech_address::PRESENT_VOLTAGE, raw);
}

void FeetechBusModel::set_encoder_position(std::uint8_t id, int counts) {
    update(id, [&](Slot& slot) { slot.servo.set_encoder_position(counts); });
}

std::optional<int> FeetechBusModel::encoder_position(std::uint8_t id) {
    return query(id, [](Slot& slot) { return slot.servo.encoder_position(); });
}

void FeetechBusModel::set_present_position(std::uint8_t id, int counts) {
    update(id, [&](Slot& slot) { slot.servo.set_present_position(counts); });
}

std::optional<int> FeetechBusModel::present_position(std::uint8_t id) {
    return query(id, [](Slot& slot) { return slot.servo.present_position(); });
}

std::optional<int> FeetechBusModel::goal_position(std::uint8_t id) {
    return query(id, [](Slot& slot) { return slot.servo.goal_position(); });
}

void FeetechBusModel::set_torque_enabled(std::uint8_t id, bool enabled) {
    set_register(id, feetech_address::TORQUE_ENABLE, enabled ? 1 : 0);
}

std::optional<bool> FeetechBusModel::torque_enabled(std::uint8_t id) {
    return query(id, [](Slot& slot) { return slot.servo.torque_enabled(); });
}

}  // namespace kestro::sim
