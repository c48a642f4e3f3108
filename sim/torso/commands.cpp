#include "sim/torso/commands.hpp"

#include <algorithm>
#include <optional>

#include "sim/damiao/damiao_motor.hpp"
#include "sim/torso/numbers.hpp"

namespace kestro::sim::torso::command {
namespace {

template <class T>
using Parsed = Result<T, std::string>;

constexpr std::uint16_t SERVO_COUNT = 7;
constexpr std::uint16_t MOTOR_COUNT = 3;

class Words {
public:
    explicit Words(std::string_view line) : rest_(line) {}

    // The next word, or "" at the end of the line.
    std::string_view next() {
        const std::size_t start = rest_.find_first_not_of(" \t\r");
        if (start == std::string_view::npos) return {};
        rest_.remove_prefix(start);
        const std::size_t end = std::min(rest_.find_first_of(" \t\r"), rest_.size());
        const std::string_view word = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return word;
    }

private:
    std::string_view rest_;
};

std::string quoted(std::string_view word) {
    return word.empty() ? "end of line" : "'" + std::string(word) + "'";
}

template <class T>
Parsed<T> number(Words& words, std::string_view what, T low, T high) {
    const std::string_view word = words.next();
    const auto value = parse_number<T>(word);
    if (!value || !(*value >= low && *value <= high)) {
        return fail(std::string(what) + " expected, got " + quoted(word));
    }
    return *value;
}

// A reply delay holds up the bus's serving thread, and so the simulator's stop: at most 10 s.
constexpr unsigned MAX_DELAY_MS = 10'000;
constexpr unsigned MAX_RAMP_MS = 3'600'000;

Parsed<milliseconds> duration(Words& words, unsigned most) {
    const std::string what = "milliseconds (0 to " + std::to_string(most) + ")";
    KESTRO_TRY_ASSIGN(const unsigned ms, number<unsigned>(words, what, 0, most));
    return milliseconds(ms);
}

Parsed<bool> on_off(Words& words) {
    const std::string_view word = words.next();
    if (word == "on") return true;
    if (word == "off") return false;
    return fail("on or off expected, got " + quoted(word));
}

// A motor's fault state code, or nothing for "off".
Parsed<std::optional<std::uint8_t>> fault_code(Words& words) {
    const std::string_view word = words.next();
    if (word == "off") return std::optional<std::uint8_t>();
    const auto code = parse_number<std::uint8_t>(word);
    if (!code || *code < SimDamiaoMotor::FIRST_FAULT_CODE ||
        *code > SimDamiaoMotor::LAST_FAULT_CODE) {
        return fail("fault code 8 to 15 or off expected, got " + quoted(word));
    }
    return code;
}

// "all", or one id from 1 to `count`.
Parsed<Ids> ids(std::string_view word, std::string_view kind, std::uint16_t count) {
    Ids all;
    for (std::uint16_t id = 1; id <= count; ++id) all.push_back(id);
    if (word == "all") return all;
    const auto id = parse_number<std::uint16_t>(word);
    if (!id || *id < 1 || *id > count) {
        return fail(std::string(kind) + " id 1 to " + std::to_string(count) + " or all expected, got " +
                    quoted(word));
    }
    return Ids{*id};
}

// The command `make` builds from a parsed argument, or the argument's error.
template <class T, class Make>
Parsed<Command> then(const Parsed<T>& argument, Make make) {
    KESTRO_TRY_ASSIGN(const T value, argument);
    return Command(make(value));
}

Parsed<Command> servo(Words& words) {
    KESTRO_TRY_ASSIGN(const Ids target, ids(words.next(), "servo", SERVO_COUNT));
    const std::string_view verb = words.next();
    const bool one = target.size() == 1;
    const auto id = static_cast<std::uint8_t>(target.front());

    if (verb == "silent" || verb == "corrupt") {
        const auto fault = verb == "silent" ? ServoFault::Silent : ServoFault::CorruptChecksum;
        return then(on_off(words), [&](bool on) { return ServoFaultSwitch{target, fault, on}; });
    }
    if (verb == "delay") {
        return then(duration(words, MAX_DELAY_MS),
            [&](milliseconds ms) { return ServoDelay{target, ms}; });
    }
    if (verb == "voltage") {
        return then(number<std::uint8_t>(words, "voltage (0.1 V)", 0, 255),
            [&](std::uint8_t raw) { return ServoVoltage{target, raw}; });
    }
    if (verb == "ramp") {
        if (one) return fail("the supply ramps for all servos: servo all ramp <raw> <ms>");
        KESTRO_TRY_ASSIGN(const std::uint8_t raw,
                          number<std::uint8_t>(words, "voltage (0.1 V)", 0, 255));
        return then(duration(words, MAX_RAMP_MS),
            [&](milliseconds ms) { return SupplyRampTo{raw, ms}; });
    }
    if (verb == "error") {
        return then(number<std::uint8_t>(words, "error byte", 0, 255),
            [&](std::uint8_t flags) { return ServoErrorByte{target, flags}; });
    }
    if (verb == "brownout") return Command(ServoBrownout{target});
    if (!one) return fail("servo all " + std::string(verb) + ": give one servo id");
    if (verb == "set") {
        KESTRO_TRY_ASSIGN(const std::uint8_t address,
                          number<std::uint8_t>(words, "address", 0, 255));
        return then(number<std::uint8_t>(words, "byte", 0, 255),
            [&](std::uint8_t value) { return RegisterWrite{id, address, value}; });
    }
    if (verb == "get") {
        return then(number<std::uint8_t>(words, "address", 0, 255),
            [&](std::uint8_t address) { return RegisterRead{id, address}; });
    }
    if (verb == "place") {
        return then(number<int>(words, "counts (0 to 4095)", 0, 4095),
            [&](int counts) { return ServoPlace{id, counts}; });
    }
    if (verb == "position") return Command(ServoQuery{id, ServoReading::Position});
    if (verb == "goal") return Command(ServoQuery{id, ServoReading::Goal});
    if (verb == "torque") return Command(ServoQuery{id, ServoReading::Torque});
    if (verb == "writes") return Command(ServoWrites{id});
    return fail("unknown servo command " + quoted(verb));
}

Parsed<Command> motor(Words& words) {
    KESTRO_TRY_ASSIGN(const Ids target, ids(words.next(), "motor", MOTOR_COUNT));
    const std::string_view verb = words.next();
    const std::optional<MotorFault> fault =
        verb == "silent"        ? std::optional(MotorFault::Silent)
        : verb == "mode-locked" ? std::optional(MotorFault::ModeLocked)
        : verb == "stuck"       ? std::optional(MotorFault::Stuck)
                                : std::nullopt;
    if (fault) {
        return then(on_off(words),
            [&](bool on) { return MotorFaultSwitch{target, *fault, on}; });
    }
    if (verb == "delay") {
        return then(duration(words, MAX_DELAY_MS),
            [&](milliseconds ms) { return MotorDelay{target, ms}; });
    }
    if (verb == "fault") {
        return then(fault_code(words),
            [&](std::optional<std::uint8_t> code) { return MotorFaultCode{target, code}; });
    }
    if (verb == "temps") {
        KESTRO_TRY_ASSIGN(const std::uint8_t driver,
                          number<std::uint8_t>(words, "driver temperature (°C)", 0, 255));
        return then(number<std::uint8_t>(words, "motor temperature (°C)", 0, 255),
            [&](std::uint8_t celsius) { return MotorTemperatures{target, driver, celsius}; });
    }
    if (target.size() != 1) return fail("motor all " + std::string(verb) + ": give one motor id");
    const std::uint16_t id = target.front();
    if (verb == "place") {
        const double limit = 1e6;  // far beyond any real start, still safe to compute with
        KESTRO_TRY_ASSIGN(const double angle, number<double>(words, "angle (rad)", -limit, limit));
        return then(number<int>(words, "turns", -1'000'000, 1'000'000),
            [&](int turns) { return MotorPlace{id, angle, turns}; });
    }
    if (verb == "state") return Command(MotorState{id});
    return fail("unknown motor command " + quoted(verb));
}

Parsed<Command> stray(Words& words) {
    const std::string_view word = words.next();
    if (word == "continuous") {
        return then(on_off(words), [](bool on) { return ContinuousStray{on}; });
    }
    const auto count = parse_number<unsigned>(word);
    if (!count || *count > 4096) return fail("count up to 4096 or continuous expected, got " + quoted(word));
    return Command(StrayBytes{*count});
}

Parsed<Command> plug(Words& words, bool plugged) {
    const std::string_view bus = words.next();
    if (bus == "serial") return Command(Plug{Bus::Serial, plugged});
    if (bus == "can") return Command(Plug{Bus::Can, plugged});
    return fail("serial or can expected, got " + quoted(bus));
}

}  // namespace

Result<Command, std::string> parse(std::string_view line) {
    Words words(line);
    const std::string_view verb = words.next();
    Parsed<Command> parsed = fail("unknown command " + quoted(verb));
    if (verb == "servo") {
        parsed = servo(words);
    } else if (verb == "motor") {
        parsed = motor(words);
    } else if (verb == "stray") {
        parsed = stray(words);
    } else if (verb == "foreign") {
        parsed = then(number<unsigned>(words, "frame count", 0, 100),
            [](unsigned count) { return ForeignFrames{count}; });
    } else if (verb == "requests") {
        const std::string_view option = words.next();
        parsed = option.empty() || option == "clear" ? Parsed<Command>(Requests{!option.empty()})
                                                     : fail("clear expected, got " + quoted(option));
    } else if (verb == "unplug" || verb == "plug") {
        parsed = plug(words, verb == "plug");
    } else if (verb == "can") {
        const std::string_view state = words.next();
        parsed = state == "up" || state == "down" ? Parsed<Command>(CanLink{state == "up"})
                                                  : fail("up or down expected, got " + quoted(state));
    } else if (verb == "quit") {
        parsed = Command(Quit{});
    }
    KESTRO_TRY(parsed);
    if (const std::string_view extra = words.next(); !extra.empty()) {
        return fail("unexpected " + quoted(extra));
    }
    return parsed;
}

}  // namespace kestro::sim::torso::command
