// scan: who answers, and what each one reports. Every device is read on its own, so one
// silent servo or motor hides nothing about the others. Moves nothing, enables nothing.
#include <algorithm>

#include "can_motor/damiao/status.hpp"
#include "common/text.hpp"
#include "tools/kestro-torso/commands.hpp"
#include "tools/kestro-torso/json_writer.hpp"
#include "tools/kestro-torso/table.hpp"

namespace kestro::tool {
namespace {

using controller::NECK_JOINT_NAMES;
using controller::NECK_MOTORS;
using controller::SERVOS;
namespace damiao = can_motor::damiao;

constexpr std::string_view HELP =
    "usage: kestro-torso [global options] scan [--json]\n"
    "Pings the seven servos and asks each neck motor for its state; moves nothing.\n"
    "  --json   print one JSON object instead of tables\n"
    "Exit 1 when a servo or motor did not answer or reports a fault.\n";

struct ServoRow {
    std::string_view name;
    std::uint8_t id;
    bool answered = false;
    std::optional<controller::ServoState> state;
    std::vector<std::string> faults;  // from the error byte of its replies
};

struct NeckRow {
    std::string_view name;
    std::uint16_t can_id;
    std::optional<can_motor::damiao::MitState> state;
};

std::string json(const std::vector<ServoRow>& servos, const std::vector<NeckRow>& neck) {
    JsonWriter w;
    w.begin_object().key("servos").begin_array();
    for (const auto& row : servos) {
        w.begin_object().key("name").value(row.name).key("id").value(unsigned{row.id});
        w.key("answered").value(row.answered);
        if (row.state) {
            w.key("position").value(row.state->position);
            w.key("voltage").value(row.state->voltage / 10.0);
            w.key("torque").value(row.state->torque);
            w.key("faults").begin_array();
            for (const std::string& fault : row.faults) w.value(fault);
            w.end_array();
        } else {
            w.key("position").null().key("voltage").null().key("torque").null();
            w.key("faults").null();
        }
        w.end_object();
    }
    w.end_array().key("neck").begin_array();
    for (const auto& row : neck) {
        w.begin_object().key("name").value(row.name).key("can_id").value(unsigned{row.can_id});
        w.key("answered").value(row.state.has_value());
        if (row.state) {
            w.key("position").value(static_cast<double>(row.state->position));
            w.key("velocity").value(static_cast<double>(row.state->velocity));
            w.key("torque").value(static_cast<double>(row.state->torque));
            w.key("temp_driver").value(unsigned{row.state->temp_driver});
            w.key("temp_motor").value(unsigned{row.state->temp_motor});
            w.key("status").value(unsigned{row.state->status});
            w.key("status_name").value(damiao::status_name(row.state->status));
            w.key("fault").value(damiao::is_fault(row.state->status));
        } else {
            for (const char* name : {"position", "velocity", "torque", "temp_driver",
                                     "temp_motor", "status", "status_name", "fault"}) {
                w.key(name).null();
            }
        }
        w.end_object();
    }
    w.end_array().end_object();
    return w.text() + "\n";
}

std::string tables(const std::vector<ServoRow>& servos, const std::vector<NeckRow>& neck) {
    std::string out;
    if (!servos.empty()) {
        Table table({"servo", "id", "state", "position/rad", "voltage/V", "torque", "faults"});
        for (const auto& row : servos) {
            if (row.state) {
                table.add({std::string(row.name), std::to_string(row.id),
                           row.faults.empty() ? "ok" : "FAULT", cell(row.state->position, 4),
                           text::fixed(row.state->voltage / 10.0, 1),
                           row.state->torque ? "on" : "off",
                           row.faults.empty() ? "-" : text::joined(row.faults)});
            } else {
                table.add({std::string(row.name), std::to_string(row.id),
                           row.answered ? "unreadable" : "missing", "-", "-", "-", "-"});
            }
        }
        out += table.render();
    }
    if (!neck.empty()) {
        if (!out.empty()) out += '\n';
        Table table({"motor", "can_id", "state", "position/rad", "velocity/rad/s", "torque/N·m",
                     "temp_driver/°C", "temp_motor/°C", "status"});
        for (const auto& row : neck) {
            if (row.state) {
                table.add({std::string(row.name), std::to_string(row.can_id),
                           damiao::is_fault(row.state->status) ? "FAULT" : "ok",
                           cell(row.state->position, 4), cell(row.state->velocity, 4),
                           cell(row.state->torque, 4), std::to_string(row.state->temp_driver),
                           std::to_string(row.state->temp_motor),
                           damiao::status_name(row.state->status)});
            } else {
                table.add({std::string(row.name), std::to_string(row.can_id), "missing", "-",
                           "-", "-", "-", "-", "-"});
            }
        }
        out += table.render();
    }
    return out;
}

}  // namespace

int run_scan(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "scan", HELP, {"--json"}, {});
    if (!args) return args.error();
    if (!args->operands.empty()) return usage_error("scan", "unexpected argument " + args->operands[0]);

    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;

    std::vector<ServoRow> servos;
    std::vector<NeckRow> neck;
    std::vector<std::string> problems;
    if (options.use_serial) {
        const auto missing = torso->controller().check_missing_ids();
        for (const auto& servo : SERVOS) {
            ServoRow row{servo.name, servo.id, false, std::nullopt, {}};
            row.answered = std::find(missing.begin(), missing.end(), servo.id) == missing.end();
            if (row.answered) {
                auto state = controller::read_servo_state(torso->controller(), servo.id);
                if (state) {
                    row.state = *state;
                    const std::size_t device = controller::servo_index(servo);
                    row.faults = controller::faults(device, torso->controller().health().devices[device]);
                    if (!row.faults.empty()) {
                        problems.push_back(controller::device_label(device) + " reports " + text::joined(row.faults));
                    }
                } else {
                    problems.push_back(std::string(servo.name) + ": " + state.error().message());
                }
            } else {
                problems.push_back(std::string(servo.name) + " (id " + std::to_string(servo.id) +
                                   ") did not answer");
            }
            servos.push_back(row);
        }
    }
    if (options.use_can) {
        for (std::size_t i = 0; i < NECK_MOTORS.size(); ++i) {
            NeckRow row{NECK_JOINT_NAMES[i], NECK_MOTORS[i].can_id, std::nullopt};
            auto state = torso->neck_motor_state(i);
            if (state) {
                row.state = *state;
                if (damiao::is_fault(state->status)) {
                    problems.push_back(std::string(row.name) + " reports " + damiao::status_name(state->status));
                }
            } else {
                problems.push_back(std::string(row.name) + " (can id " +
                                   std::to_string(row.can_id) + ") did not answer");
            }
            neck.push_back(row);
        }
    }

    emit(output, args->has("--json") ? json(servos, neck) : tables(servos, neck));
    if (problems.empty()) return EXIT_OK;
    std::string line = problems[0];
    for (std::size_t i = 1; i < problems.size(); ++i) line += "; " + problems[i];
    report_error(line);
    return EXIT_FAILED;
}

}  // namespace kestro::tool
