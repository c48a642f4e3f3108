#include "sim/torso/options.hpp"

#include <algorithm>
#include <cmath>

#include "sim/torso/numbers.hpp"

namespace kestro::sim::torso {
namespace {

// "a,b,c" as exactly three numbers.
template <class T>
std::optional<std::array<T, 3>> triple(std::string_view text) {
    std::array<T, 3> values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t comma = text.find(',');
        const bool last = i + 1 == values.size();
        if ((comma == std::string_view::npos) != last) return std::nullopt;
        const auto value = parse_number<T>(text.substr(0, comma));
        if (!value || !std::isfinite(static_cast<double>(*value))) return std::nullopt;
        values[i] = *value;
        text.remove_prefix(last ? text.size() : comma + 1);
    }
    return values;
}

std::optional<std::chrono::milliseconds> milliseconds(std::string_view text) {
    const auto value = parse_number<unsigned>(text);
    if (!value) return std::nullopt;
    return std::chrono::milliseconds(*value);
}

std::optional<std::chrono::microseconds> microseconds(std::string_view text) {
    const auto value = parse_number<unsigned>(text);
    if (!value) return std::nullopt;
    return std::chrono::microseconds(*value);
}

// The parameters of the modelled buses, which mean nothing without --wire-timing.
constexpr std::string_view WIRE_OPTIONS[] = {"--serial-baud", "--return-delay-us",
                                            "--usb-latency-us", "--can-bitrate",
                                            "--motor-turnaround-us"};

constexpr std::string_view VALUE_OPTIONS[] = {
    "--serial-link", "--can-socket",    "--vcan",           "--voltage",     "--ramp",
    "--reboot-ms",   "--neck-angles",   "--neck-turns",     "--serial-baud", "--return-delay-us",
    "--usb-latency-us", "--can-bitrate", "--motor-turnaround-us"};

bool is_wire_option(std::string_view name) {
    return std::find(std::begin(WIRE_OPTIONS), std::end(WIRE_OPTIONS), name) !=
           std::end(WIRE_OPTIONS);
}

bool takes_value(std::string_view name) {
    return std::find(std::begin(VALUE_OPTIONS), std::end(VALUE_OPTIONS), name) !=
           std::end(VALUE_OPTIONS);
}

}  // namespace

Result<Options, std::string> parse_options(std::span<const std::string_view> args) {
    Options options;
    std::optional<std::string_view> wire_option;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view name = args[i];
        if (name == "--help") {
            options.help = true;
            continue;
        }
        if (name == "--trace") {
            options.trace = true;
            continue;
        }
        if (name == "--wire-timing") {
            options.wire_timing = true;
            continue;
        }
        if (is_wire_option(name)) wire_option = name;
        if (!takes_value(name)) return fail("unknown option " + std::string(name));
        if (i + 1 == args.size()) return fail(std::string(name) + " needs a value");
        const std::string_view value = args[++i];
        const auto refused = [&] {
            return fail("bad value for " + std::string(name) + ": " + std::string(value));
        };
        if (name == "--serial-link") {
            options.serial_link = std::string(value);
        } else if (name == "--can-socket") {
            options.can_socket = std::string(value);
        } else if (name == "--vcan") {
            options.vcan = std::string(value);
        } else if (name == "--voltage") {
            const auto raw = parse_number<std::uint8_t>(value);
            if (!raw) return refused();
            options.voltage = *raw;
        } else if (name == "--ramp") {
            options.ramp = milliseconds(value);
            if (!options.ramp) return refused();
        } else if (name == "--reboot-ms") {
            const auto silence = milliseconds(value);
            if (!silence) return refused();
            options.reboot_silence = *silence;
        } else if (name == "--neck-angles") {
            const auto angles = triple<double>(value);
            if (!angles) return refused();
            options.neck_angles = *angles;
        } else if (name == "--neck-turns") {
            const auto turns = triple<int>(value);
            if (!turns) return refused();
            options.neck_turns = *turns;
        } else if (name == "--serial-baud" || name == "--can-bitrate") {
            const auto rate = parse_number<unsigned>(value);
            if (!rate || *rate == 0) return refused();
            (name == "--serial-baud" ? options.serial_timing.baud : options.can_timing.bitrate) =
                *rate;
        } else {
            const auto time = microseconds(value);
            if (!time) return refused();
            if (name == "--return-delay-us") options.serial_timing.default_return_delay = *time;
            if (name == "--usb-latency-us") options.serial_timing.usb_latency = *time;
            if (name == "--motor-turnaround-us") options.can_timing.motor_turnaround = *time;
        }
    }
    if (wire_option && !options.wire_timing) {
        return fail(std::string(*wire_option) + " needs --wire-timing");
    }
    return options;
}

std::string_view usage() {
    return R"(usage: kestro-torso-sim [options]
Stands in for the whole torso: seven Feetech servos (ids 1-7) on a pseudo-terminal and three
Damiao neck motors (CAN ids 1-3). Prints "ready serial=<device>" when ready, then reads control
commands on standard input (see README.md); stops on SIGINT or SIGTERM.

  --serial-link PATH       also make PATH a symbolic link to the serial device
  --can-socket PATH        serve the neck to libkestro_can_preload clients on a unix socket
  --vcan IFACE             serve the neck on the SocketCAN interface IFACE
  --voltage RAW            supply voltage at start, in 0.1 V (default 120 = 12.0 V)
  --ramp MS                then ramp the supply up to 12.0 V over MS milliseconds
  --reboot-ms MS           how long a rebooted servo stays silent (default 50)
  --neck-angles A0,A1,A2   neck shaft angles at start, rad from the physical zero
  --neck-turns T0,T1,T2    neck multi-turn counters at start (whole turns from zero)
  --trace                  log every servo packet and CAN frame on standard error
  --wire-timing            keep real bus time on both buses (off: answer at once)
  --serial-baud N          with --wire-timing: serial line rate, 8N1 (default 1000000)
  --return-delay-us N      with --wire-timing: a servo's answer delay while its return-delay
                           register (address 7, 2 us steps) is 0 (default 20)
  --usb-latency-us N       with --wire-timing: hand received bytes to the port at most every
                           N us, as a USB adapter does (default 0: at once)
  --can-bitrate N          with --wire-timing: CAN bit rate (default 1000000)
  --motor-turnaround-us N  with --wire-timing: from a request's end to the motor's answer
                           (default 100)
  --help                   show this text
)";
}

}  // namespace kestro::sim::torso
