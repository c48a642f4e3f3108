#include "sim/torso/command_runner.hpp"

#include <cstdio>
#include <map>

#include "sim/feetech/frame.hpp"

namespace kestro::sim::torso {
namespace {

using namespace command;

// A reading of a servo that is always on the bus (the parser admits ids 1 to 7 only).
template <class T>
std::string ok(std::optional<T> value) {
    return value ? "ok " + std::to_string(*value) : "error: no such servo";
}

std::string answer(const Result<void, std::string>& done) {
    return done ? "ok" : "error: " + done.error();
}

// Stray bytes are plain line noise, like the bus's continuous noise: never a packet header.
constexpr std::uint8_t STRAY_BYTE = 0xAA;

std::string instruction_name(std::uint8_t instruction) {
    namespace i = feetech_frame::instruction;
    switch (instruction) {
        case i::PING: return "ping";
        case i::READ: return "read";
        case i::WRITE: return "write";
        case i::REBOOT: return "reboot";
        case i::SYNC_READ: return "sync_read";
        case i::SYNC_WRITE: return "sync_write";
        default: return "other";
    }
}

class Runner {
public:
    explicit Runner(SimulatedTorso& torso) : torso_(torso), servos_(torso.servos()) {}

    std::string operator()(const ServoFaultSwitch& c) {
        for (auto id : c.ids) {
            const auto servo = static_cast<std::uint8_t>(id);
            if (c.fault == ServoFault::Silent) {
                servos_.set_silent(servo, c.on);
            } else {
                servos_.set_corrupt_checksum(servo, c.on);
            }
        }
        return "ok";
    }
    std::string operator()(const ServoDelay& c) {
        for (auto id : c.ids) servos_.set_reply_delay(static_cast<std::uint8_t>(id), c.delay);
        return "ok";
    }
    std::string operator()(const ServoVoltage& c) {
        torso_.supply().cancel();
        for (auto id : c.ids) servos_.set_voltage(static_cast<std::uint8_t>(id), c.raw);
        return "ok";
    }
    std::string operator()(const SupplyRampTo& c) {
        torso_.supply().start(SERVO_IDS[0], c.raw, c.over);
        return "ok";
    }
    std::string operator()(const ServoErrorByte& c) {
        for (auto id : c.ids) servos_.set_error_flags(static_cast<std::uint8_t>(id), c.flags);
        return "ok";
    }
    std::string operator()(const ServoBrownout& c) {
        for (auto id : c.ids) servos_.brown_out(static_cast<std::uint8_t>(id));
        return "ok";
    }
    std::string operator()(const RegisterWrite& c) {
        servos_.set_register(c.id, c.address, c.value);
        return "ok";
    }
    std::string operator()(const RegisterRead& c) {
        return ok(servos_.register_value(c.id, c.address));
    }
    std::string operator()(const ServoQuery& c) {
        switch (c.reading) {
            case ServoReading::Position: return ok(servos_.present_position(c.id));
            case ServoReading::Goal: return ok(servos_.goal_position(c.id));
            case ServoReading::Torque: return ok(servos_.torque_enabled(c.id));
        }
        return "error: unknown reading";
    }
    std::string operator()(const ServoPlace& c) {
        servos_.set_present_position(c.id, c.counts);
        return "ok";
    }
    std::string operator()(const StrayBytes& c) {
        const std::vector<std::uint8_t> noise(c.count, STRAY_BYTE);
        torso_.serial_line().inject_stray_bytes(noise);
        return "ok";
    }
    std::string operator()(const ContinuousStray& c) {
        torso_.serial_line().set_continuous_stray_bytes(c.on);
        return "ok";
    }
    std::string operator()(const MotorFaultSwitch& c) {
        for (auto id : c.ids) {
            switch (c.fault) {
                case MotorFault::Silent: torso_.neck().set_silent(id, c.on); break;
                case MotorFault::ModeLocked: torso_.neck().set_mode_locked(id, c.on); break;
                case MotorFault::Stuck: torso_.neck().set_stuck(id, c.on); break;
            }
        }
        return "ok";
    }
    std::string operator()(const MotorDelay& c) {
        for (auto id : c.ids) torso_.neck().set_reply_delay(id, c.delay);
        return "ok";
    }
    std::string operator()(const MotorFaultCode& c) {
        for (auto id : c.ids) torso_.neck().set_fault(id, c.code);
        return "ok";
    }
    std::string operator()(const MotorTemperatures& c) {
        for (auto id : c.ids) torso_.neck().set_temperatures(id, c.driver, c.motor);
        return "ok";
    }
    std::string operator()(const MotorPlace& c) {
        torso_.neck().place(c.id, c.angle, c.turns);
        return "ok";
    }
    std::string operator()(const MotorState& c) {
        const DamiaoMotorSnapshot state = torso_.neck().snapshot(c.id);
        char text[160];
        std::snprintf(text, sizeof text,
                      "ok position=%.6f velocity=%.6f enabled=%d mode=%u status=%u",
                      state.position, state.velocity, state.enabled ? 1 : 0, state.control_mode,
                      unsigned{state.status});
        return text;
    }
    std::string operator()(const ForeignFrames& c) {
        torso_.neck().set_foreign_frames(c.count);
        return "ok";
    }
    // "<address>:<data in hex>" per write, so that a test can check the order of arrival.
    std::string operator()(const ServoWrites& c) {
        std::string answer = "ok";
        for (const auto& request : servos_.requests()) {
            if (request.id != c.id || request.instruction != feetech_frame::instruction::WRITE ||
                request.params.empty()) {
                continue;
            }
            answer += " " + std::to_string(request.params[0]) + ":";
            for (std::size_t i = 1; i < request.params.size(); ++i) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", request.params[i]);
                answer += hex;
            }
        }
        return answer;
    }
    std::string operator()(const Requests& c) {
        if (c.clear) {
            servos_.clear_requests();
            return "ok";
        }
        std::map<std::string, unsigned> counts{{"ping", 0},       {"read", 0},   {"write", 0},
                                               {"sync_read", 0},  {"sync_write", 0},
                                               {"reboot", 0},     {"other", 0}};
        const auto requests = servos_.requests();
        for (const auto& request : requests) ++counts[instruction_name(request.instruction)];
        std::string answer = "ok total=" + std::to_string(requests.size());
        for (const auto& [name, count] : counts) answer += " " + name + "=" + std::to_string(count);
        return answer;
    }
    std::string operator()(const Plug& c) {
        if (c.bus == Bus::Serial && c.plugged) return answer(torso_.plug_serial());
        if (c.bus == Bus::Serial) {
            torso_.unplug_serial();
            return "ok";
        }
        return answer(torso_.set_can_plugged(c.plugged));
    }
    std::string operator()(const CanLink& c) { return answer(torso_.set_can_up(c.up)); }
    std::string operator()(const Quit&) { return "ok"; }

private:
    SimulatedTorso& torso_;
    FeetechBusModel& servos_;
};

}  // namespace

std::string run(const Command& command, SimulatedTorso& torso) {
    return std::visit(Runner(torso), command);
}

}  // namespace kestro::sim::torso
