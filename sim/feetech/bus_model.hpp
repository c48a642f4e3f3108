// A bus of simulated Feetech servos: turns each request into the replies the servos would send,
// with fault knobs for tests. Every method is thread-safe, so tests may turn knobs while a
// transport thread serves requests. Knobs and queries naming an id that is not on the bus do
// nothing and give nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "sim/feetech/frame.hpp"
#include "sim/feetech/servo.hpp"

namespace kestro::sim {

class FeetechBusModel {
public:
    using Clock = std::chrono::steady_clock;

    // One status frame and how long the servo waits before sending it, on top of the wait its
    // return-delay register asks for (which only a wire-timed line keeps).
    struct Reply {
        std::chrono::nanoseconds delay;
        std::vector<std::uint8_t> bytes;
        std::uint8_t return_delay_register = 0;
    };

    static constexpr double DEFAULT_SPEED = 4096.0;  // counts per second: one turn a second

    explicit FeetechBusModel(std::span<const std::uint8_t> ids = {});

    void add_servo(std::uint8_t id);

    // Ping, read, write and reboot to one servo; sync read (replies in the order of the ids
    // asked, or reversed, see below) and sync write to the broadcast id. Requests to absent
    // servos, and malformed ones, get no reply. Every request is also logged.
    std::vector<Reply> handle(const feetech_frame::Request& request);

    // The most recent requests, oldest first; a long-running simulation keeps only the last
    // REQUEST_LOG_LIMIT.
    static constexpr std::size_t REQUEST_LOG_LIMIT = 10'000;
    std::vector<feetech_frame::Request> requests();
    void clear_requests();

    // Faults. A silent servo still acts on instructions but never answers.
    void set_silent(std::uint8_t id, bool silent);
    void set_corrupt_checksum(std::uint8_t id, bool corrupt);
    // Replies carry `reply_id` instead of the servo's own id; nullopt restores it.
    void set_reply_id(std::uint8_t id, std::optional<std::uint8_t> reply_id);
    void set_reply_delay(std::uint8_t id, std::chrono::nanoseconds delay);
    // Sync read replies come in the reverse of the requested order.
    void set_sync_read_reversed(bool reversed);
    // After answering a reboot, a servo neither acts nor answers for this long (default 0).
    void set_reboot_silence(std::chrono::nanoseconds silence);
    // The error byte of its status packets from now on (0 clears it); see also brown_out.
    void set_error_flags(std::uint8_t id, std::uint8_t flags);
    // Torque off and the input-voltage flag set until torque is written on again.
    void brown_out(std::uint8_t id);

    // Physics and registers.
    void set_speed(double counts_per_second);
    void set_register(std::uint8_t id, std::uint8_t address, std::uint8_t value);
    std::optional<std::uint8_t> register_value(std::uint8_t id, std::uint8_t address);
    void set_voltage(std::uint8_t id, std::uint8_t raw);
    void set_supply_voltage(std::uint8_t raw);  // every servo
    void set_encoder_position(std::uint8_t id, int counts);
    std::optional<int> encoder_position(std::uint8_t id);
    void set_present_position(std::uint8_t id, int counts);
    std::optional<int> present_position(std::uint8_t id);
    std::optional<int> goal_position(std::uint8_t id);
    void set_torque_enabled(std::uint8_t id, bool enabled);
    std::optional<bool> torque_enabled(std::uint8_t id);

private:
    struct Slot {
        explicit Slot(std::uint8_t id) : servo(id) {}

        FeetechSimServo servo;
        bool silent = false;
        bool corrupt_checksum = false;
        std::optional<std::uint8_t> reply_id;
        std::chrono::nanoseconds reply_delay{0};
        Clock::time_point booting_until{};
    };

    // Both run with mutex_ held.
    template <class Action>
    void update(std::uint8_t id, Action action);
    template <class Read>
    std::optional<std::invoke_result_t<Read, Slot&>> query(std::uint8_t id, Read read);

    Slot* awake_servo(std::uint8_t id, Clock::time_point now);
    void advance_motion(Clock::time_point now);
    std::optional<Reply> reply(const Slot& slot, std::span<const std::uint8_t> params) const;
    std::vector<Reply> sync_read(std::span<const std::uint8_t> params, Clock::time_point now);
    void sync_write(std::span<const std::uint8_t> params, Clock::time_point now);

    std::mutex mutex_;
    std::map<std::uint8_t, Slot> servos_;
    std::deque<feetech_frame::Request> requests_;
    bool sync_read_reversed_ = false;
    std::chrono::nanoseconds reboot_silence_{0};
    double speed_ = DEFAULT_SPEED;
    Clock::time_point last_motion_ = Clock::now();
};

}  // namespace kestro::sim
