// KestroPyControlLoop: a control loop started from Python. Commands go on the loop's queue and
// return at once; requests wait for the loop thread's answer; queries copy the loop's last
// published values. The class takes no lock of its own: the queue and the loop's cells do.
#include <memory>

#include "servo_bus/servo/feetech/registers.hpp"
#include "src/bindings/classes.hpp"
#include "src/bindings/gil.hpp"
#include "src/bindings/goal_check.hpp"
#include "src/bindings/interpreter_exit.hpp"
#include "src/bindings/method_table.hpp"
#include "src/bindings/py_ref.hpp"
#include "src/bindings/results.hpp"
#include "src/control_loop/control_loop.hpp"

namespace kestro::bindings {
namespace {

using control_loop::Bytes;
using control_loop::KestroControlLoop;
using control_loop::MotorCommand;
using control_loop::MotorError;
using control_loop::WaitFailure;
namespace command = control_loop::command;

struct LoopObject {
    PyObject_HEAD
    // Shared with the exit hook, which closes loops still running when the interpreter exits.
    std::shared_ptr<KestroControlLoop>* loop;
};

}  // namespace

template <>
struct Binding<KestroControlLoop> {
    static constexpr const char* name = "KestroPyControlLoop";
    static PyTypeObject* type() { return control_loop_type(); }

    template <class Operation>
    static PyObject* call(PyObject* self, Operation&& operation) {
        return operation(**reinterpret_cast<LoopObject*>(self)->loop);
    }
};

namespace {

using controller::ARM_IDS;
using controller::LEFT_ARM_IDS;
using controller::NOSE_IDS;
using controller::RIGHT_ARM_IDS;
using L = KestroControlLoop;

// The three gains are read and written as one block of registers from P's address on.
namespace feetech = servo_bus::feetech_registers;
constexpr std::uint8_t PID_GAINS_ADDRESS = feetech::P_GAIN.address;
static_assert(feetech::D_GAIN.address == PID_GAINS_ADDRESS + 1 &&
              feetech::I_GAIN.address == PID_GAINS_ADDRESS + 2);

std::string communication_error() {
    return control_loop::to_string(control_loop::CommunicationError{});
}

// The exception for a wait on the loop that ended without its answer: `lost` when the loop has
// ended or dropped the request; the pending KeyboardInterrupt (or other exception of a signal
// handler) when a person stopped the wait.
PyObject* raise_wait_failure(WaitFailure failure, const std::string& lost) {
    switch (failure) {
        case WaitFailure::Interrupted:
            return raise_interrupted();
        case WaitFailure::OwnThread:
            return raise(PyExc_RuntimeError,
                         "cannot wait for the control loop on its own thread (a log handler "
                         "running there called back into the loop)");
        case WaitFailure::ChannelClosed:
        case WaitFailure::NoReply:
            break;
    }
    return raise(PyExc_RuntimeError, lost);
}

// Puts `command` on the queue, waiting (without the interpreter lock) while the queue is full.
Result<void, WaitFailure> queue(L& loop, MotorCommand command) {
    return without_gil([&](const CancelToken& cancel) { return loop.send(std::move(command), cancel); });
}

// A command whose outcome Python never learns: None once queued; `closed` once the loop has
// ended.
PyObject* send(L& loop, MotorCommand command, const std::string& closed = "channel closed") {
    auto queued = queue(loop, std::move(command));
    if (!queued) return raise_wait_failure(queued.error(), closed);
    return none();
}

PyObject* to_bytes(const Bytes& bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

// A register read by the loop thread, waiting up to 1 s for its answer.
Result<Bytes, WaitFailure> read_raw(L& loop, std::uint8_t id, std::uint8_t address,
                                    std::uint8_t length) {
    return without_gil([&](const CancelToken& cancel) {
        return loop.async_read_raw_bytes(id, address, length, cancel);
    });
}

PyObject* name_ids(L& loop) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, id] : loop.motor_name_id()) {
        const PyRef key = PyRef::steal(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        const PyRef value = PyRef::steal(key ? PyLong_FromLong(id) : nullptr);
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyMethodDef* methods() {
    static PyMethodDef table[] = {
        method("close($self)\n--\n\nClose the control loop and release resources.",
               [](L& l) {
                   auto closed = without_gil([&](const CancelToken& cancel) { return l.close(cancel); });
                   if (!closed) return raise_wait_failure(closed.error(), "");
                   return none();
               }),
        method("get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller.",
               [](L& l) { return name_ids(l); }),
        method("get_last_position($self)\n--\n\nGet the last successfully read motor positions.",
               [](L& l) {
                   auto position = l.get_last_position();
                   if (!position) {
                       return raise(PyExc_RuntimeError, control_loop::to_string(position.error()));
                   }
                   return new_torso_position(*position);
               }),
        method("set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors.",
               [](L& l, TorsoGoals positions) {
                   return send(l, command::SetAllGoalPositions{positions.value});
               }),
        method("set_left_arm_position($self, position)\n--\n\n"
               "Set goal positions for the left arm (2 values: pitch, yaw).",
               [](L& l, ServoGoals<LEFT_ARM_IDS> position) {
                   return send(l, command::SetLeftArmPosition{position.values});
               }),
        method("set_right_arm_position($self, position)\n--\n\n"
               "Set goal positions for the right arm (2 values: pitch, yaw).",
               [](L& l, ServoGoals<RIGHT_ARM_IDS> position) {
                   return send(l, command::SetRightArmPosition{position.values});
               }),
        method("set_arms_position($self, position)\n--\n\n"
               "Set goal positions for both arms (4 values).",
               [](L& l, ServoGoals<ARM_IDS> position) {
                   return send(l, command::SetArmsPosition{position.values});
               }),
        method(
            "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values).",
            [](L& l, ServoGoals<NOSE_IDS> position) {
                return send(l, command::SetNosePosition{position.values});
            }),
        method("set_neck_position($self, position)\n--\n\n"
               "Set goal positions for the neck (3 values: yaw, pitch, roll).",
               [](L& l, NeckGoals position) {
                   return send(l, command::SetNeckPosition{position.values});
               }),
        method("set_neck_yaw_position($self, position)\n--\n\n",
               [](L& l, NeckGoal<0> position) {
                   return send(l, command::SetNeckYawPosition{position.value});
               }),
        method("set_neck_pitch_position($self, position)\n--\n\n",
               [](L& l, NeckGoal<1> position) {
                   return send(l, command::SetNeckPitchPosition{position.value});
               }),
        method("set_neck_roll_position($self, position)\n--\n\n",
               [](L& l, NeckGoal<2> position) {
                   return send(l, command::SetNeckRollPosition{position.value});
               }),
        method("enable_neck($self, enable)\n--\n\nEnable or disable the neck motors.",
               [](L& l, bool enable) { return send(l, command::EnableNeck{enable}); }),
        method("is_torque_enabled($self)\n--\n\nCheck torque enabled status.",
               [](L& l) {
                   auto enabled = l.is_torque_enabled();
                   if (!enabled) {
                       return raise(PyExc_RuntimeError, control_loop::to_string(enabled.error()));
                   }
                   return to_python(*enabled);
               }),
        method("enable_torque($self)\n--\n\nEnable torque on all motors.",
               [](L& l) { return send(l, command::EnableTorque{}); }),
        method(
            "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids.",
            [](L& l, ByteList ids) { return send(l, command::EnableTorqueOnIds{std::move(ids)}); }),
        method("disable_torque($self)\n--\n\nDisable torque on all motors.",
               [](L& l) { return send(l, command::DisableTorque{}); }),
        method("disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids.",
               [](L& l, ByteList ids) {
                   return send(l, command::DisableTorqueOnIds{std::move(ids)});
               }),
        method("enable_arms($self, enable)\n--\n\nEnable or disable the arm motors.",
               [](L& l, bool enable) { return send(l, command::EnableArms{enable}); }),
        method("enable_nose($self, enable)\n--\n\nEnable or disable the nose motors.",
               [](L& l, bool enable) { return send(l, command::EnableNose{enable}); }),
        method("get_stats($self)\n--\n\nGet the latest control loop statistics, if available.",
               [](L& l) {
                   auto stats = l.get_stats();
                   return stats ? new_loop_stats(std::move(*stats)) : none();
               }),
        method("async_read_raw_bytes($self, id, addr, length)\n--\n\n"
               "Perform an asynchronous raw read of motor bytes.",
               [](L& l, std::uint8_t id, std::uint8_t addr, std::uint8_t length) {
                   auto bytes = read_raw(l, id, addr, length);
                   if (!bytes) {
                       return raise_wait_failure(bytes.error(),
                                                 "Failed to read raw bytes: " + communication_error());
                   }
                   return to_bytes(*bytes);
               }),
        method("async_write_raw_bytes($self, id, addr, data)\n--\n\n"
               "Perform an asynchronous raw write of motor bytes.",
               [](L& l, std::uint8_t id, std::uint8_t addr, ByteList data) {
                   return send(l, command::WriteRawBytes{id, addr, std::move(data)},
                               "Failed to write raw bytes: " + communication_error());
               }),
        method("async_read_pid_gains($self, id)\n--\n\n"
               "Read PID gains for a given motor id. Returns (P, I, D).",
               [](L& l, std::uint8_t id) {
                   auto bytes = read_raw(l, id, PID_GAINS_ADDRESS, 3);
                   if (bytes && bytes->size() != 3) bytes = fail(WaitFailure::NoReply);
                   if (!bytes) {
                       return raise_wait_failure(bytes.error(),
                                                 "Failed to read pid gains: " + communication_error());
                   }
                   // The registers hold P, D, I in that order.
                   const Bytes& b = *bytes;
                   return Py_BuildValue("(iii)", b[0], b[2], b[1]);
               }),
        // Each gain is one register byte: a gain above 255 is refused by its conversion rather
        // than cut to its low 8 bits (256 would have written a gain of 0).
        method("async_write_pid_gains($self, id, p, i, d)\n--\n\n"
               "Write PID gains for a given motor id.",
               [](L& l, std::uint8_t id, std::uint8_t p, std::uint8_t i, std::uint8_t d) {
                   return send(l, command::WriteRawBytes{id, PID_GAINS_ADDRESS, Bytes{p, d, i}},
                               "Failed to write pid gains: " + communication_error());
               }),
        method("write_raw_packet($self, data)\n--\n\n",
               [](L& l, ByteString data) {
                   Bytes packet(data.begin(), data.end());
                   auto answer = without_gil([&](const CancelToken& cancel) {
                       return l.write_raw_packet(std::move(packet), cancel);
                   });
                   if (answer) return to_bytes(*answer);
                   return raise_wait_failure(
                       answer.error(),
                       answer.error() == WaitFailure::ChannelClosed
                           ? "channel closed"
                           : "Failed to receive raw packet response: receiving on a closed channel");
               }),
        method("get_health($self)\n--\n\n"
               "What each of the ten devices last reported, as of the loop's last tick,\n"
               "with the loop's counters. Never waits for the loop thread. Returns a\n"
               "KestroTorsoHealth.",
               [](L& l) { return to_python(l.get_health()); }),
        method("clear_neck_faults($self, index=None)\n--\n\n"
               "Clear the fault a neck motor reports, for joint `index` (0=yaw, 1=pitch,\n"
               "2=roll) or all three, on the loop's thread; waits for it. Never enables\n"
               "torque. Returns the KestroNeckState of each joint cleared.",
               [](L& l, std::optional<std::uint32_t> index) -> PyObject* {
                   std::optional<std::size_t> joint;
                   if (index) {
                       auto checked = controller::KestroMotorController::check_neck_index(*index);
                       if (!checked) return to_python(checked);
                       joint = *index;
                   }
                   auto cleared = without_gil([&](const CancelToken& cancel) {
                       return l.clear_neck_faults(joint, cancel);
                   });
                   if (!cleared) {
                       return raise_wait_failure(cleared.error(),
                                                 "Failed to clear neck faults: " + communication_error());
                   }
                   return to_python(*cleared);
               }),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}

PyObject* start(PyTypeObject* type, std::optional<std::string> serialport,
                std::chrono::nanoseconds read_position_loop_period, std::string can_bus,
                std::uint64_t allowed_retries,
                std::optional<std::chrono::nanoseconds> stats_pub_period,
                std::chrono::nanoseconds voltage_rampup_timeout,
                std::optional<std::chrono::nanoseconds> neck_watchdog) {
    auto config = control_loop::LoopConfig::make(std::move(serialport), read_position_loop_period,
                                                 std::move(can_bus), allowed_retries,
                                                 stats_pub_period, voltage_rampup_timeout,
                                                 neck_watchdog);
    if (!config) return raise(PyExc_ValueError, config.error());
    // The start-up keeps the interpreter lock and polls the signal handlers throughout.
    auto started = KestroControlLoop::start(*config, control_loop::socketcan_controller_factory(),
                                            python_signals());
    if (!started) {
        if (std::holds_alternative<control_loop::Interrupted>(started.error())) {
            return raise_interrupted();
        }
        return raise(PyExc_RuntimeError, control_loop::to_string(started.error()));
    }
    auto loop = std::make_unique<std::shared_ptr<KestroControlLoop>>(std::move(*started));
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) {
        without_gil([&] { loop.reset(); });
        return nullptr;
    }
    interpreter_exit::track(*loop);
    reinterpret_cast<LoopObject*>(self.get())->loop = loop.release();
    return self.release();
}

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature(
        "KestroPyControlLoop.__new__",
        {{"serialport"},
         {"read_position_loop_period"},
         {"can_bus", PyUnicode_FromString("can0")},
         {"allowed_retries", PyLong_FromLong(5)},
         {"stats_pub_period", Py_NewRef(Py_None)},
         {"voltage_rampup_timeout", new_timedelta(std::chrono::seconds(30))},
         {"neck_watchdog", Py_NewRef(Py_None), true}});
    return construct<&start>(signature, type, args, kwargs);
}

// Releasing the object closes the loop: the loop thread runs the commands still queued and
// ends. That wait is made without the interpreter lock, which the thread may need to log.
void loop_dealloc(PyObject* self) {
    std::shared_ptr<KestroControlLoop>* loop = reinterpret_cast<LoopObject*>(self)->loop;
    if (loop != nullptr) without_gil([&] { delete loop; });
    free_instance(self);
}

}  // namespace

PyTypeObject* control_loop_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_doc,
             const_cast<char*>(
                 "KestroPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
                 "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=..., *, "
                 "neck_watchdog=None)"
                 "\n--\n\n")},
            {Py_tp_new, reinterpret_cast<void*>(&loop_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&loop_dealloc)},
            {Py_tp_methods, methods()},
            {0, nullptr},
        };
        static PyType_Spec spec{"KestroPyControlLoop", sizeof(LoopObject), 0, Py_TPFLAGS_DEFAULT,
                                slots};
        type = make_type(spec);
    }
    return type;
}

}  // namespace kestro::bindings
