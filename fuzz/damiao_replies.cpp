// The Damiao driver's reply matching: enable, disable, control, request_feedback, read_register
// and write_register against a bus that delivers the frames of the fuzz input, in order, to
// whichever exchange is waiting. The transport is an in-memory stand-in, so every CanTransport
// path the driver takes (request, recv_matching) runs without sockets or waits.
//
// Input: the motor (can_id, master_id, a selector for a zero reply time-out), an operation
// count (1 to 4) and the operations, then the bus script: frame records and injected receive
// failures, until the input ends. When the script is used up, receiving fails with a backend
// error (the transport's own time-out would only make the wait run to its deadline).
//
// Each operation's result, and the number of script entries it consumed, must match a model of
// the matching rules: a command exchange takes the first frame from the motor's feedback
// identifier (a standard identifier) and fails on a payload too short for a state; a register
// read takes the first 8-byte frame, from any identifier, that names the motor's can_id in its
// first two bytes and answers its register; receive
// time-outs are waited through, other receive failures end the exchange; frames passed over are
// consumed. Every frame sent must be a classic 8-byte frame with a standard identifier, and no
// receive may be asked to wait without limit.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/damiao/registers.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace std::chrono_literals;
using kestro::Result;
using kestro::can_motor::CanError;
using kestro::can_motor::CanFrame;
using kestro::can_motor::CanId;
using kestro::can_motor::CanTransport;
using kestro::fuzz::fail;
namespace damiao = kestro::can_motor::damiao;

// Long enough never to run out on a loaded machine, so that results do not depend on timing.
constexpr auto LONG_TIMEOUT = std::chrono::nanoseconds(10s);

// One entry of the bus script: a frame, or a failure of the receive that meets it.
struct Entry {
    enum class Kind { Frame, Timeout, Backend } kind;
    CanFrame frame;
};

CanError injected_backend_error() {
    return CanError::backend(kestro::IoError::custom(kestro::IoErrorKind::Other, "injected"));
}
CanError end_of_script() {
    return CanError::backend(kestro::IoError::custom(kestro::IoErrorKind::Other, "end of script"));
}

class ScriptedBus final : public CanTransport {
public:
    ScriptedBus(std::vector<Entry> script, std::chrono::nanoseconds reply_timeout)
        : script_(std::move(script)), reply_timeout_(reply_timeout) {}

    // Whether the next send fails with a backend error.
    void fail_next_send(bool fail) { fail_send_ = fail; }
    std::size_t consumed() const { return next_; }
    std::size_t sent() const { return sent_; }

    Result<void, CanError> send(const CanFrame& frame) override {
        FUZZ_CHECK(!frame.fd && !frame.id.is_extended() && frame.id.in_range() &&
                       frame.data.size() == 8,
                   "sent a frame that is not a classic 8-byte standard frame (id 0x%X, %zu bytes)",
                   frame.id.value(), frame.data.size());
        ++sent_;
        if (fail_send_) {
            fail_send_ = false;
            return kestro::fail(injected_backend_error());
        }
        return {};
    }

    Result<CanFrame, CanError> recv(std::optional<std::chrono::nanoseconds> timeout) override {
        // A socket reads "no time-out" (and a zero one) as "wait for ever".
        FUZZ_CHECK(timeout.has_value() && *timeout >= 1us && *timeout <= reply_timeout_,
                   "receive asked to wait %s",
                   timeout ? (std::to_string(timeout->count()) + " ns").c_str() : "without limit");
        if (next_ == script_.size()) return kestro::fail(end_of_script());
        const Entry& entry = script_[next_++];
        switch (entry.kind) {
            case Entry::Kind::Timeout: return kestro::fail(CanError::timeout());
            case Entry::Kind::Backend: return kestro::fail(injected_backend_error());
            case Entry::Kind::Frame: break;
        }
        return entry.frame;
    }

private:
    std::vector<Entry> script_;
    std::chrono::nanoseconds reply_timeout_;
    std::size_t next_ = 0;
    std::size_t sent_ = 0;
    bool fail_send_ = false;
};

// Script entry format: a header byte (bits 0-1: frame with a standard identifier, frame with an
// extended one, receive time-out, receive failure; bit 2: CAN FD; bit 3: bit-rate switch; bit
// 4: the identifier is the motor's own feedback identifier, else it follows, 2 or 4 bytes),
// then a length byte (taken modulo 9, or 65 for CAN FD) and that many payload bytes.
std::vector<Entry> read_script(kestro::fuzz::ByteReader& input, std::uint16_t master_id) {
    std::vector<Entry> script;
    while (!input.empty()) {
        const std::uint8_t header = input.u8();
        Entry entry{Entry::Kind::Frame, {}};
        switch (header & 0x3) {
            case 2: entry.kind = Entry::Kind::Timeout; break;
            case 3: entry.kind = Entry::Kind::Backend; break;
            default: {
                const bool extended = (header & 0x3) == 1;
                CanFrame& frame = entry.frame;
                // Identifiers as a SocketCAN receive gives them: always inside their range.
                if (header & 0x10) {
                    frame.id = CanId::standard(master_id & 0x7FF);
                } else if (extended) {
                    frame.id = CanId::extended(input.u32() & 0x1FFFFFFF);
                } else {
                    frame.id = CanId::standard(input.u16() & 0x7FF);
                }
                frame.fd = (header & 0x4) != 0;
                frame.brs = frame.fd && (header & 0x8) != 0;
                const auto payload = input.bytes(input.u8() % (frame.fd ? 65 : 9));
                frame.data.assign(payload.begin(), payload.end());
            }
        }
        script.push_back(std::move(entry));
    }
    return script;
}

// What one operation must give, and how many script entries it takes.
template <class Value>
struct Expected {
    Result<Value, damiao::Error> result;
    std::size_t consumed;
};

// Walks the script from `at` as an exchange's receive loop must: the first entry that `accept`s
// ends it, time-outs are waited through, any other receive failure ends it with that failure.
template <class Accept>
std::pair<Result<CanFrame, CanError>, std::size_t> first_match(const std::vector<Entry>& script,
                                                               std::size_t at, Accept accept) {
    for (; at < script.size(); ++at) {
        const Entry& entry = script[at];
        if (entry.kind == Entry::Kind::Timeout) continue;
        if (entry.kind == Entry::Kind::Backend) {
            return {kestro::fail(injected_backend_error()), at + 1};
        }
        if (accept(entry.frame)) return {entry.frame, at + 1};
    }
    return {kestro::fail(end_of_script()), at};
}

damiao::Error transport(CanError error) { return damiao::Error::Transport{std::move(error)}; }

// A command exchange (enable, disable, control, request_feedback).
Expected<damiao::MitState> expected_command(const damiao::Damiao& motor, bool send_fails,
                                            bool zero_timeout, const std::vector<Entry>& script,
                                            std::size_t at) {
    if (send_fails) return {kestro::fail(transport(injected_backend_error())), at};
    if (zero_timeout) return {kestro::fail(transport(CanError::timeout())), at};
    const CanId feedback = CanId::standard(motor.master_id() & 0x7FF);
    auto [reply, next] =
        first_match(script, at, [&](const CanFrame& frame) { return frame.id == feedback; });
    if (!reply) return {kestro::fail(transport(reply.error())), next};
    if (reply->data.size() < 8) {
        return {kestro::fail(damiao::Error(damiao::Error::UnexpectedReply{{reply->data.begin(), reply->data.end()}})), next};
    }
    return {*damiao::decode_state(motor.limits(), reply->data), next};
}

Expected<damiao::RegisterValue> expected_read(std::uint16_t can_id, std::uint8_t reg,
                                              bool send_fails,
                                              bool zero_timeout, const std::vector<Entry>& script,
                                              std::size_t at) {
    const damiao::RegisterInfo* info = damiao::lookup(reg);
    if (info == nullptr) return {kestro::fail(damiao::Error::UnknownRegister{reg}), at};
    if (send_fails) return {kestro::fail(transport(injected_backend_error())), at};
    if (zero_timeout) return {kestro::fail(transport(CanError::timeout())), at};
    auto [reply, next] = first_match(script, at, [can_id, reg](const CanFrame& frame) {
        return frame.data.size() == 8 && frame.data[0] == (can_id & 0xFF) &&
               frame.data[1] == (can_id >> 8) && frame.data[2] == 0x33 && frame.data[3] == reg;
    });
    if (!reply) return {kestro::fail(transport(reply.error())), next};
    const std::uint32_t bits = reply->data[4] | (reply->data[5] << 8) | (reply->data[6] << 16) |
                               (std::uint32_t{reply->data[7]} << 24);
    return {damiao::RegisterValue::from_bits(info->value_type, bits), next};
}

bool same_state(const damiao::MitState& a, const damiao::MitState& b) {
    using kestro::fuzz::same_bits;
    return same_bits(a.position, b.position) && same_bits(a.velocity, b.velocity) &&
           same_bits(a.torque, b.torque) && a.motor_id == b.motor_id && a.status == b.status &&
           a.temp_driver == b.temp_driver && a.temp_motor == b.temp_motor;
}

template <class Value>
void check(const char* operation, const Result<Value, damiao::Error>& got,
           const Expected<Value>& want, const ScriptedBus& bus) {
    if (!want.result) {
        FUZZ_CHECK(!got, "%s succeeded, expected: %s", operation,
                   want.result.error().to_string().c_str());
        FUZZ_CHECK(got.error() == want.result.error(), "%s failed with '%s', expected '%s'",
                   operation, got.error().to_string().c_str(),
                   want.result.error().to_string().c_str());
    } else {
        FUZZ_CHECK(got.has_value(), "%s failed with '%s'", operation,
                   got.error().to_string().c_str());
        if constexpr (std::is_same_v<Value, damiao::MitState>) {
            FUZZ_CHECK(same_state(*got, *want.result), "%s decoded another state", operation);
        } else if constexpr (!std::is_void_v<Value>) {
            FUZZ_CHECK(*got == *want.result, "%s gave another value", operation);
        }
    }
    FUZZ_CHECK(bus.consumed() == want.consumed, "%s consumed %zu script entries, expected %zu",
               operation, bus.consumed(), want.consumed);
}

damiao::ControlCommand control_command(std::uint8_t kind, kestro::fuzz::ByteReader& input) {
    switch (kind % 4) {
        case 0: {
            damiao::MitCommand command{};
            command.position = input.f32();
            command.velocity = input.f32();
            command.kp = input.f32();
            command.kd = input.f32();
            command.torque = input.f32();
            return command;
        }
        case 1: {
            const float position = input.f32();
            return damiao::PosVel{position, input.f32()};
        }
        case 2: return damiao::Vel{input.f32()};
        default: {
            const float position = input.f32();
            const float velocity = input.f32();
            return damiao::ForcePos{position, velocity, input.f32()};
        }
    }
}

// One operation as read from the input: its kind and arguments (bit 7 of the kind byte makes
// its send fail).
struct Operation {
    std::uint8_t kind;
    bool send_fails;
    std::uint8_t reg;
    damiao::RegisterValue value = damiao::RegisterValue::Uint32(0);
    damiao::ControlCommand command;
};

Operation read_operation(kestro::fuzz::ByteReader& input) {
    const std::uint8_t kind = input.u8();
    Operation op{static_cast<std::uint8_t>((kind & 0x7F) % 6), (kind & 0x80) != 0, 0,
                 damiao::RegisterValue::Uint32(0), damiao::MitCommand{}};
    switch (op.kind) {
        case 3: op.command = control_command(input.u8(), input); break;
        case 4: op.reg = input.u8(); break;
        case 5: {
            op.reg = input.u8();
            const std::uint8_t type = input.u8();
            const std::uint32_t bits = input.u32();
            op.value = damiao::RegisterValue::from_bits(
                type & 1 ? damiao::RegisterType::Float : damiao::RegisterType::Uint32, bits);
            break;
        }
        default: break;
    }
    return op;
}

void run(const damiao::Damiao& motor, const Operation& op, ScriptedBus& bus,
         const std::vector<Entry>& script, bool zero_timeout) {
    const std::size_t at = bus.consumed();
    const std::size_t sent_before = bus.sent();
    bus.fail_next_send(op.send_fails);
    const auto command = [&](const char* name, const Result<damiao::MitState, damiao::Error>& got) {
        check(name, got, expected_command(motor, op.send_fails, zero_timeout, script, at), bus);
        FUZZ_CHECK(bus.sent() == sent_before + 1, "%s sent %zu frames", name,
                   bus.sent() - sent_before);
    };
    switch (op.kind) {
        case 0: command("enable", motor.enable(bus)); break;
        case 1: command("disable", motor.disable(bus)); break;
        case 2: command("request_feedback", motor.request_feedback(bus)); break;
        case 3: command("control", motor.control(bus, op.command)); break;
        case 4: {
            check("read_register", motor.read_register(bus, op.reg),
                  expected_read(motor.can_id(), op.reg, op.send_fails, zero_timeout, script, at),
                  bus);
            break;
        }
        default: {
            // The motor's answer to a write is not waited for: nothing is received.
            const damiao::RegisterInfo* info = damiao::lookup(op.reg);
            Result<void, damiao::Error> want;
            if (info == nullptr) {
                want = kestro::fail(damiao::Error::UnknownRegister{op.reg});
            } else if (!info->writable) {
                want = kestro::fail(damiao::Error::ReadOnly{op.reg});
            } else if (info->value_type != op.value.type()) {
                want = kestro::fail(
                    damiao::Error::TypeMismatch{op.reg, info->value_type, op.value.type()});
            } else if (op.send_fails) {
                want = kestro::fail(transport(injected_backend_error()));
            }
            check<void>("write_register", motor.write_register(bus, op.reg, op.value),
                        Expected<void>{want, at}, bus);
            break;
        }
    }
    // An operation refused before sending leaves its send failure armed; it is not the next one's.
    bus.fail_next_send(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return -1;
    kestro::fuzz::ByteReader input({data, size});
    const std::uint16_t can_id = input.u16();
    const std::uint16_t master_id = input.u16();
    const bool zero_timeout = (input.u8() & 1) != 0;
    const auto motor = damiao::Damiao::create(zero_timeout ? std::chrono::nanoseconds(0)
                                                           : LONG_TIMEOUT,
                                              {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, can_id,
                                              master_id);
    FUZZ_CHECK(motor.has_value(), "the neck's limits were refused");

    std::vector<Operation> operations;
    const int count = input.u8() % 4 + 1;
    for (int i = 0; i < count; ++i) operations.push_back(read_operation(input));
    const std::vector<Entry> script = read_script(input, master_id);

    ScriptedBus bus(script, zero_timeout ? std::chrono::nanoseconds(0) : LONG_TIMEOUT);
    for (const Operation& op : operations) run(*motor, op, bus, script, zero_timeout);
    return 0;
}
