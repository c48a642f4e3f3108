// regs: the raw registers of one servo or one neck motor, each read on its own.
#include <cstdlib>

#include "can_motor/damiao/registers.hpp"
#include "common/text.hpp"
#include "servo_bus/servo/feetech/registers.hpp"
#include "tools/kestro-torso/commands.hpp"
#include "tools/kestro-torso/json_writer.hpp"
#include "tools/kestro-torso/table.hpp"

namespace kestro::tool {
namespace {

namespace feetech = servo_bus::feetech_registers;
namespace damiao = can_motor::damiao;

constexpr std::string_view HELP =
    "usage: kestro-torso [global options] regs servo ID [--json]\n"
    "       kestro-torso [global options] regs neck JOINT [--json]\n"
    "Reads every known register of servo ID (1 to 7) or of neck motor JOINT\n"
    "(yaw, pitch, roll or neck_yaw, neck_pitch, neck_roll); writes nothing.\n"
    "  --json   print one JSON object instead of a table\n";

enum class Kind { Unsigned, Signed, Offset, Torque, Position, Voltage };

struct ServoRegister {
    std::string_view name;
    std::uint8_t address;
    std::uint8_t width;
    Kind kind;
};

// The registers the servo maps use, plus the position-loop gains.
constexpr ServoRegister SERVO_REGISTERS[] = {
    {"p_gain", feetech::P_GAIN.address, 1, Kind::Unsigned},
    {"d_gain", feetech::D_GAIN.address, 1, Kind::Unsigned},
    {"i_gain", feetech::I_GAIN.address, 1, Kind::Unsigned},
    {"offset", feetech::OFFSET.address, 2, Kind::Offset},
    {"torque_enable", feetech::TORQUE_ENABLE.address, 1, Kind::Torque},
    {"goal_position", feetech::GOAL_POSITION.address, 2, Kind::Position},
    {"lock", feetech::LOCK.address, 1, Kind::Unsigned},
    {"present_position", feetech::PRESENT_POSITION.address, 2, Kind::Position},
    {"present_voltage", feetech::PRESENT_VOLTAGE.address, 1, Kind::Voltage},
};

// The register value with the map's signedness.
long typed(const ServoRegister& reg, std::uint16_t raw) {
    if (reg.kind == Kind::Position || reg.kind == Kind::Signed) {
        return static_cast<std::int16_t>(raw);
    }
    return raw;
}

std::string meaning(const ServoRegister& reg, std::uint16_t raw) {
    switch (reg.kind) {
        case Kind::Offset: return text::signed_fixed(feetech::offset_to_radians(raw), 4) + " rad";
        case Kind::Torque: return raw != 0 ? "on" : "off";
        case Kind::Position:
            return text::signed_fixed(
                       feetech::position_to_radians(static_cast<std::int16_t>(raw)), 4) +
                   " rad";
        case Kind::Voltage: return text::fixed(raw / 10.0, 1) + " V";
        default: return "";
    }
}

int servo_registers(const GlobalOptions& options, const Output& output, const std::string& id_text,
                    bool as_json) {
    char* end = nullptr;
    const long id = std::strtol(id_text.c_str(), &end, 10);
    if (id_text.empty() || *end != '\0' || id < 0 || id > 253) {
        return usage_error("regs", "servo ID must be 0 to 253, got '" + id_text + "'");
    }
    if (!options.use_serial) return usage_error("regs", "regs servo needs the serial bus");
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;

    std::vector<std::optional<std::uint16_t>> values;
    std::optional<std::string> first_error;
    for (const auto& reg : SERVO_REGISTERS) {
        auto value = controller::read_servo_register(
            torso->controller(), static_cast<std::uint8_t>(id), reg.address, reg.width);
        if (value) {
            values.emplace_back(*value);
        } else {
            values.emplace_back();
            if (!first_error) first_error = value.error().message();
        }
    }

    if (as_json) {
        JsonWriter w;
        w.begin_object().key("id").value(static_cast<std::int64_t>(id)).key("registers").begin_object();
        for (std::size_t i = 0; i < values.size(); ++i) {
            w.key(SERVO_REGISTERS[i].name);
            if (values[i]) {
                w.value(static_cast<std::int64_t>(typed(SERVO_REGISTERS[i], *values[i])));
            } else {
                w.null();
            }
        }
        w.end_object().end_object();
        emit(output, w.text() + "\n");
    } else {
        Table table({"register", "address", "value", "meaning"});
        for (std::size_t i = 0; i < values.size(); ++i) {
            const auto& reg = SERVO_REGISTERS[i];
            table.add({std::string(reg.name), std::to_string(reg.address),
                       values[i] ? std::to_string(typed(reg, *values[i])) : "-",
                       values[i] ? meaning(reg, *values[i]) : "no answer"});
        }
        emit(output, table.render());
    }
    if (!first_error) return EXIT_OK;
    report_error("servo " + std::to_string(id) + ": " + *first_error);
    return EXIT_FAILED;
}

int neck_registers(const GlobalOptions& options, const Output& output, const std::string& joint,
                   bool as_json) {
    const auto index = neck_joint_index(joint);
    if (!index) {
        return usage_error("regs", "JOINT must be yaw, pitch or roll, got '" + joint + "'");
    }
    if (!options.use_can) return usage_error("regs", "regs neck needs the CAN bus");
    auto torso = open_torso(options);
    if (!torso) return EXIT_USAGE;

    const auto rows = damiao::register_table();
    std::vector<std::optional<damiao::RegisterValue>> values(rows.size());
    // A silent motor would cost every register its full reply time-out: ask once first.
    auto present = torso->neck_motor_state(*index);
    std::optional<std::string> first_error;
    if (!present) first_error = present.error().message();
    for (std::size_t i = 0; present && i < rows.size(); ++i) {
        auto value = torso->read_neck_register(*index, rows[i].id);
        if (value) {
            values[i] = *value;
        } else if (!first_error) {
            first_error = value.error().message();
        }
    }

    const std::string_view name = controller::NECK_JOINT_NAMES[*index];
    const unsigned can_id = controller::NECK_MOTORS[*index].can_id;
    auto number = [](const damiao::RegisterValue& value) {
        if (auto f = value.as_float()) return json_number(*f);
        return std::to_string(value.bits());
    };
    if (as_json) {
        JsonWriter w;
        w.begin_object().key("joint").value(name).key("can_id").value(can_id);
        w.key("registers").begin_object();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            w.key(rows[i].name);
            if (values[i] && values[i]->as_float()) {
                w.value(*values[i]->as_float());
            } else if (values[i]) {
                w.value(std::uint64_t{values[i]->bits()});
            } else {
                w.null();
            }
        }
        w.end_object().end_object();
        emit(output, w.text() + "\n");
    } else {
        emit(output, std::string(name) + " (can id " + std::to_string(can_id) + ")\n");
        Table table({"id", "register", "type", "access", "value", "description"});
        for (std::size_t i = 0; i < rows.size(); ++i) {
            table.add({std::to_string(rows[i].id), std::string(rows[i].name),
                       std::string(damiao::type_name(rows[i].value_type)),
                       rows[i].writable ? "rw" : "ro", values[i] ? number(*values[i]) : "-",
                       std::string(rows[i].description)});
        }
        emit(output, table.render());
    }
    if (!first_error) return EXIT_OK;
    report_error(*first_error);
    return EXIT_FAILED;
}

}  // namespace

int run_regs(const GlobalOptions& options, const Output& output) {
    auto args = command_args(options, output, "regs", HELP, {"--json"}, {});
    if (!args) return args.error();
    const auto& operands = args->operands;
    if (operands.size() != 2 || (operands[0] != "servo" && operands[0] != "neck")) {
        return usage_error("regs", "expected 'servo ID' or 'neck JOINT'");
    }
    if (operands[0] == "servo") return servo_registers(options, output, operands[1], args->has("--json"));
    return neck_registers(options, output, operands[1], args->has("--json"));
}

}  // namespace kestro::tool
