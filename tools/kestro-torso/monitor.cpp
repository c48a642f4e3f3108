// monitor: all ten joint positions at a fixed rate with the controller's full reads (the two
// servo group reads and the neck feedback requests), shown live, optionally kept as CSV and
// plotted as SVG when it ends. Moves nothing; Ctrl-C ends it cleanly.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "common/text.hpp"
#include "tools/kestro-torso/commands.hpp"
#include "tools/kestro-torso/csv_writer.hpp"
#include "tools/kestro-torso/stop_signal.hpp"
#include "tools/kestro-torso/svg_plot.hpp"
#include "tools/kestro-torso/table.hpp"

namespace kestro::tool {
namespace {

constexpr std::string_view HELP =
    "usage: kestro-torso [global options] monitor [--rate HZ] [--count N] [--csv FILE] [--svg FILE]\n"
    "Reads all ten joint positions at HZ (default 50) until N samples (default: until Ctrl-C).\n"
    "  --rate HZ    samples per second\n"
    "  --count N    stop after N samples\n"
    "  --csv FILE   write time, the ten positions (rad), each joint's faults and the neck\n"
    "               motors' temperatures (°C), one row per sample\n"
    "  --svg FILE   write a plot of every joint over time when the monitor ends\n";

// Sleeps until `deadline` on the monotonic clock; false when a stop was asked for.
bool sleep_until(const timespec& deadline) {
    while (!stop_requested()) {
        const int rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0) return true;
        if (rc != EINTR) return true;
    }
    return false;
}

timespec plus(timespec at, std::chrono::nanoseconds offset) {
    const auto total = std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec) + offset;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(total);
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>((total - seconds).count());
    return at;
}

double seconds_between(const timespec& from, const timespec& to) {
    return static_cast<double>(to.tv_sec - from.tv_sec) +
           static_cast<double>(to.tv_nsec - from.tv_nsec) * 1e-9;
}

// A neck motor's temperatures for joint `j`, if it is a neck joint that reported them.
const std::optional<Temperatures>* temperatures_of(const Sample& sample, std::size_t j) {
    const std::size_t servos = controller::SERVOS.size();
    return j < servos ? nullptr : &sample.neck_temperatures[j - servos];
}

std::string temperature_cell(const std::optional<Temperatures>* temperatures, bool driver) {
    if (temperatures == nullptr || !*temperatures) return "-";
    return std::to_string(driver ? (*temperatures)->driver : (*temperatures)->motor);
}

std::string live_table(const Sample& sample) {
    Table table({"joint", "position/rad", "faults", "temp_driver/°C", "temp_motor/°C"});
    for (std::size_t j = 0; j < JOINT_COUNT; ++j) {
        const auto* temperatures = temperatures_of(sample, j);
        table.add({std::string(joint_name(j)), cell(sample.positions[j], 4),
                   sample.faults[j].empty() ? "-" : sample.faults[j],
                   temperature_cell(temperatures, true), temperature_cell(temperatures, false)});
    }
    return "t = " + text::fixed(sample.time, 3) + " s\n" + table.render();
}

// One line per sample when the output is no terminal: the positions, each neck motor's
// temperatures (driver/coil), and a joint's faults only while it reports some.
std::string line(const Sample& sample) {
    std::string out = "t=" + text::fixed(sample.time, 3);
    for (std::size_t j = 0; j < JOINT_COUNT; ++j) {
        out += " " + std::string(joint_name(j)) + "=" + cell(sample.positions[j], 4);
        if (const auto* temperatures = temperatures_of(sample, j); temperatures && *temperatures) {
            out += "(" + temperature_cell(temperatures, true) + "/" +
                   temperature_cell(temperatures, false) + "°C)";
        }
        if (!sample.faults[j].empty()) out += "[" + sample.faults[j] + "]";
    }
    return out + '\n';
}

// What the devices of the buses that were just read reported of themselves.
void add_health(Sample& sample, const controller::TorsoHealth& health, bool servos, bool neck) {
    for (std::size_t d = 0; d < JOINT_COUNT; ++d) {
        if (controller::is_neck_device(d) ? !neck : !servos) continue;
        const auto& device = health.devices[d];
        sample.faults[d] = text::joined(controller::faults(d, device), ";");
        if (device.neck_state) {
            const auto& state = device.neck_state->state;
            sample.neck_temperatures[device.neck_state->joint] =
                Temperatures{state.temp_driver, state.temp_motor};
        }
    }
}

bool write_file(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int run_monitor(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "monitor", HELP, {}, {"--rate", "--count", "--csv", "--svg"});
    if (!args) return args.error();
    if (!args->operands.empty()) return usage_error("monitor", "unexpected argument " + args->operands[0]);
    double rate = 50.0;
    if (auto text = args->value("--rate")) {
        auto parsed = parse_positive(*text, "--rate");
        if (!parsed) return usage_error("monitor", parsed.error());
        rate = *parsed;
    }
    unsigned long count = 0;
    if (auto text = args->value("--count")) {
        auto parsed = parse_count(*text, "--count");
        if (!parsed || *parsed == 0) return usage_error("monitor", "--count must be a positive whole number, got '" + *text + "'");
        count = *parsed;
    }
    std::FILE* csv = nullptr;
    if (auto path = args->value("--csv")) {
        csv = std::fopen(path->c_str(), "w");
        if (csv == nullptr) {
            report_error("cannot write " + *path + ": " + std::strerror(errno));
            return EXIT_USAGE;
        }
        std::fputs(csv_header().c_str(), csv);
    }
    const auto svg_path = args->value("--svg");

    auto torso = open_torso(options);
    if (!torso) {
        if (csv != nullptr) std::fclose(csv);
        return EXIT_USAGE;
    }
    auto& controller = torso->controller();

    StopSignals signals;
    const auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / rate));
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<Sample> samples;
    std::optional<std::string> first_error;
    std::size_t failed_samples = 0;
    std::size_t drawn_lines = 0;

    for (unsigned long n = 0; count == 0 || n < count; ++n) {
        if (!sleep_until(plus(start, period * static_cast<long long>(n)))) break;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        Sample sample{seconds_between(start, now), {}};
        std::optional<std::string> error;
        bool servos_read = false;
        bool neck_read = false;
        if (options.use_serial) {
            auto servos = controller.read_all_positions();
            servos_read = servos.has_value();
            if (servos) {
                for (std::size_t j = 0; j < servos->size(); ++j) sample.positions[j] = (*servos)[j];
            } else {
                error = "servos: " + servos.error().message();
            }
        }
        if (options.use_can) {
            auto neck = controller.read_neck_positions();
            neck_read = neck.has_value();
            if (neck) {
                for (std::size_t j = 0; j < neck->size(); ++j) sample.positions[7 + j] = (*neck)[j];
            } else if (!error) {
                error = neck.error().message();
            }
        }
        add_health(sample, controller.health(), servos_read, neck_read);
        // A signal during the reads may have cut them short; that is the end, not a fault.
        if (stop_requested()) break;
        if (error) {
            ++failed_samples;
            if (!first_error) first_error = *error;
        }
        samples.push_back(sample);
        if (csv != nullptr) std::fputs(csv_row(sample).c_str(), csv);
        if (output.terminal) {
            const std::string table = live_table(sample);
            std::string frame;
            if (drawn_lines > 0) frame = "\x1b[" + std::to_string(drawn_lines) + "F\x1b[J";
            emit(output, frame + table);
            drawn_lines = static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n'));
        } else {
            emit(output, line(sample));
        }
    }

    int status = EXIT_OK;
    if (csv != nullptr && std::fclose(csv) != 0) {
        report_error("cannot finish the CSV file");
        status = EXIT_FAILED;
    }
    if (svg_path && !write_file(*svg_path, svg_plot(samples))) {
        report_error("cannot write " + *svg_path);
        status = EXIT_FAILED;
    }
    std::string summary = std::to_string(samples.size()) + " samples";
    if (samples.size() >= 2) {
        const double span = samples.back().time - samples.front().time;
        summary += " in " + text::fixed(span, 3) + " s: " +
                   text::fixed(static_cast<double>(samples.size() - 1) / span, 1) + " Hz achieved (" +
                   text::fixed(rate, 1) + " Hz asked)";
    }
    emit(output, summary + "\n");
    if (first_error) {
        report_error(std::to_string(failed_samples) + " samples incomplete; first: " + *first_error);
        status = EXIT_FAILED;
    }
    return status;
}

}  // namespace kestro::tool
