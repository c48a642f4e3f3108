// KestroMotorController: the synchronous controller. Each object holds one torso controller
// behind a mutex; every method converts its arguments, takes the mutex, runs one controller
// operation and converts its result.
#include <atomic>
#include <mutex>
#include <thread>

#include "src/bindings/classes.hpp"
#include "src/bindings/gil.hpp"
#include "src/bindings/goal_check.hpp"
#include "src/bindings/method_table.hpp"
#include "src/bindings/results.hpp"
#include "src/controller/controller.hpp"

namespace kestro::bindings {
namespace {

using controller::KestroMotorController;
using controller::Outcome;

// A fault that escapes an operation while the mutex is held sets the poisoned mark: the
// controller may be half-way through a bus exchange, so every later call is refused.
struct GuardedController {
    explicit GuardedController(KestroMotorController&& c) : controller(std::move(c)) {}

    std::mutex mutex;
    // The thread inside an operation: a log handler that calls back into the same object
    // from that thread would otherwise wait for itself.
    std::atomic<std::thread::id> owner{};
    bool poisoned = false;
    KestroMotorController controller;
};

struct ControllerObject {
    PyObject_HEAD
    GuardedController* guarded;
};

GuardedController& guarded(PyObject* self) {
    return *reinterpret_cast<ControllerObject*>(self)->guarded;
}

}  // namespace

template <>
struct Binding<KestroMotorController> {
    static constexpr const char* name = "KestroMotorController";
    static PyTypeObject* type() { return controller_type(); }

    template <class Operation>
    static PyObject* call(PyObject* self, Operation&& operation) {
        GuardedController& g = guarded(self);
        if (g.owner.load() == std::this_thread::get_id()) {
            return raise(PyExc_RuntimeError,
                         "Failed to lock motor controller: already locked by this thread");
        }
        // The holder of the mutex can only be running Python code (a log handler) that gave
        // the interpreter lock up for a moment; waiting with the lock would stop it for good.
        if (!g.mutex.try_lock()) without_gil([&] { g.mutex.lock(); });
        std::unique_lock lock(g.mutex, std::adopt_lock);
        if (g.poisoned) return raise(PyExc_RuntimeError, "Failed to lock motor controller");
        g.owner.store(std::this_thread::get_id());
        auto result = [&] {
            try {
                return operation(g.controller);
            } catch (...) {
                g.poisoned = true;
                g.owner.store({});
                throw;
            }
        }();
        g.owner.store({});
        lock.unlock();
        return to_python(result);
    }
};

namespace {

using controller::ARM_IDS;
using controller::LEFT_ARM_IDS;
using controller::NOSE_IDS;
using controller::RIGHT_ARM_IDS;
using controller::SERVO_IDS;
using C = KestroMotorController;

template <const char* Name>
std::optional<float> gain(const std::optional<NeckGain<Name>>& given) {
    if (!given) return std::nullopt;
    return given->value;
}

// The registration order is part of the class's interface.
PyMethodDef* methods() {
    static PyMethodDef table[] = {
        method("is_torque_enabled($self)\n--\n\nIs torque enabled on all motors",
               [](C& c) { return c.is_torque_enabled(); }),
        method("enable_torque($self)\n--\n\nEnable torque on all motors.",
               [](C& c) { return c.set_all_torque(true); }),
        method("enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids",
               [](C& c, ByteList ids) { return c.set_torque_on_ids(ids, true); }),
        method("disable_torque($self)\n--\n\nDisable torque on all motors.",
               [](C& c) { return c.set_all_torque(false); }),
        method("disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids",
               [](C& c, ByteList ids) { return c.set_torque_on_ids(ids, false); }),
        method("read_all_positions($self)\n--\n\n"
               "Read all motor positions as a 7-element array.\n"
               "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, "
               "nose_left, nose_right]",
               [](C& c) { return c.read_all_positions(); }),
        method("set_all_goal_positions($self, positions)\n--\n\n"
               "Set goal positions for all motors (7 values).\n\n# Arguments\n"
               "* `positions` - Array of 7 goal positions\n"
               "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, "
               "nose_left, nose_right).",
               [](C& c, ServoGoals<SERVO_IDS> positions) {
                   return c.set_all_goal_positions(positions.values);
               }),
        method("set_left_arm_position($self, position)\n--\n\n"
               "Set goal positions for the left arm (2 values: pitch, yaw).",
               [](C& c, ServoGoals<LEFT_ARM_IDS> position) {
                   return c.set_arm_goal_positions(LEFT_ARM_IDS, position.values);
               }),
        method("set_right_arm_position($self, position)\n--\n\n"
               "Set goal positions for the right arm (2 values: pitch, yaw).",
               [](C& c, ServoGoals<RIGHT_ARM_IDS> position) {
                   return c.set_arm_goal_positions(RIGHT_ARM_IDS, position.values);
               }),
        method("set_arms_position($self, position)\n--\n\n"
               "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, "
               "right yaw).",
               [](C& c, ServoGoals<ARM_IDS> position) {
                   return c.set_arm_goal_positions(ARM_IDS, position.values);
               }),
        method(
            "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values).",
            [](C& c, ServoGoals<NOSE_IDS> position) {
                return c.set_nose_goal_positions(position.values);
            }),
        method("set_neck_position($self, position)\n--\n\n"
               "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
               "the observed positions reported by the motor replies.",
               [](C& c, NeckGoals position) { return c.set_neck_position(position.values); }),
        method(
            "set_neck_yaw_position($self, position)\n--\n\n",
            [](C& c, NeckGoal<0> position) { return c.set_single_neck_joint(0, position.value); }),
        method(
            "set_neck_pitch_position($self, position)\n--\n\n",
            [](C& c, NeckGoal<1> position) { return c.set_single_neck_joint(1, position.value); }),
        method(
            "set_neck_roll_position($self, position)\n--\n\n",
            [](C& c, NeckGoal<2> position) { return c.set_single_neck_joint(2, position.value); }),
        method("neck_position_limits($self)\n--\n\n"
               "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
               "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
               "before commanding the motor.",
               [](C&) { return controller::NECK_POSITION_LIMITS; }),
        method("read_neck_positions($self)\n--\n\n"
               "Read the current neck positions (yaw, pitch, roll) via a Damiao\n"
               "feedback request.",
               [](C& c) { return c.read_neck_positions(); }),
        method("set_neck_gains($self, index, kp, kd)\n--\n\n"
               "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
               "`index`: 0=yaw, 1=pitch, 2=roll.",
               [](C& c, std::uint32_t index, NeckGain<KP> kp, NeckGain<KD> kd) {
                   return c.set_neck_gains(index, kp.value, kd.value);
               }),
        method("neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)\n--\n\n"
               "Home the 3 neck joints to the nearest physical zero.\n"
               "\n"
               "Snaps each goal to the nearest multiple of 2π of the joint's current\n"
               "reported position — after a power cycle the Damiao multi-turn counter\n"
               "resets, so commanding \"go to 0\" naively could spin the head a full\n"
               "turn. Rounding keeps travel within ±π and lands at a physically\n"
               "equivalent zero.\n"
               "\n"
               "Enables neck torque if it isn't already (does **not** disable on\n"
               "exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a\n"
               "10 ms cycle and returns the observed positions once every joint is\n"
               "within `tolerance` rad of its goal. Raises on timeout.\n"
               "\n"
               "`kp` / `kd`: optional overrides applied to all three joints for the\n"
               "duration of homing (and left in place afterwards). `None` keeps the\n"
               "per-joint defaults baked into the controller.",
               [](C& c, double speed, double tolerance, std::optional<NeckGain<KP>> kp,
                  std::optional<NeckGain<KD>> kd) {
                   return c.neck_home(speed, tolerance, gain(kp), gain(kd), python_signals());
               }),
        method("enable_neck($self, enable)\n--\n\n"
               "Enable or disable the neck motors. On enable, also forces each motor\n"
               "into MIT control mode.",
               [](C& c, bool enable) { return c.enable_neck(enable); }),
        method("is_neck_torque_enabled($self)\n--\n\n"
               "Last commanded torque-enable state for the neck (in-memory; the\n"
               "Damiao firmware does not expose a readable enable register).",
               [](C& c) { return c.neck_torque_enabled(); }),
        method("enable_arms($self, enable)\n--\n\nEnable or disable the arm motors.",
               [](C& c, bool enable) { return c.set_arm_torque(enable); }),
        method("set_arm_home($self, verify_tol=0.05)\n--\n\n"
               "Make the current physical arm pose the new \"radian zero\" by rewriting\n"
               "each Feetech arm motor's Position Offset EEPROM register (0x1F).\n"
               "Persistent across power cycles.\n"
               "\n"
               "Disables arm torque, reads the current present_position + offset for\n"
               "every arm motor, computes a new offset equal to the recovered absolute\n"
               "encoder position (so future `present_position` reads of this pose come\n"
               "back as 0 rad and `goal_position = 0` writes leave the arm where it\n"
               "sits now), unlocks EEPROM, writes the offset, re-locks, and verifies\n"
               "by reading present_position back. Caller owns torque lifecycle — arms\n"
               "are left **torque-off** on exit.\n"
               "\n"
               "Returns the observed post-write `present_position` (rad) for the four\n"
               "joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises\n"
               "`RuntimeError` when verification fails (within `verify_tol` rad of 0)\n"
               "or any bus call errors.",
               [](C& c, double verify_tol) { return c.set_arm_home(verify_tol, python_signals()); }),
        method("enable_nose($self, enable)\n--\n\nEnable or disable the nose motors.",
               [](C& c, bool enable) { return c.set_nose_torque(enable); }),
        method("write_raw_packet($self, data)\n--\n\n"
               "Write raw packet data to the serial port.\n\n# Arguments\n"
               "* `data` - Byte array of raw packet data to send.",
               [](C& c, ByteString data) -> Outcome<void> {
                   // What the servos answer is not handed back by this class.
                   auto written = c.write_raw_packet(data);
                   if (!written)
                       return fail(controller::ControllerError(written.error().message()));
                   return {};
               }),
        method("read_neck_state($self)\n--\n\n"
               "Read each neck motor's full state (position, velocity, torque,\n"
               "temperatures, status) with the same three feedback requests as\n"
               "read_neck_positions. Returns 3 KestroNeckState in joint order.",
               [](C& c) { return c.read_neck_state(); }),
        method("health($self)\n--\n\n"
               "What each of the ten devices last reported, from the replies already\n"
               "received: nothing is sent and no bus is waited on. Returns a\n"
               "KestroTorsoHealth.",
               [](C& c) { return to_python(c.health()); }),
        method("clear_neck_faults($self, index=None)\n--\n\n"
               "Clear the fault a neck motor reports, for joint `index` (0=yaw, 1=pitch,\n"
               "2=roll) or all three. Never enables torque: a cleared motor reports\n"
               "disabled until enable_neck(True). Returns the KestroNeckState of each\n"
               "joint cleared.",
               [](C& c, std::optional<std::uint32_t> index) {
                   return c.clear_neck_faults(index ? std::optional<std::size_t>(*index) : std::nullopt);
               }),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}

PyObject* create(PyTypeObject* type, std::optional<std::string> serialport, std::string can_bus) {
    auto made = KestroMotorController::create(serialport, can_bus);
    if (!made) return raise(PyExc_RuntimeError, made.error().message());
    auto state = std::make_unique<GuardedController>(std::move(*made));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ControllerObject*>(self)->guarded = state.release();
    return self;
}

PyObject* controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature(
        "KestroMotorController.__new__",
        {{"serialport", Py_NewRef(Py_None)}, {"can_bus", PyUnicode_FromString("can0")}});
    return construct<&create>(signature, type, args, kwargs);
}

// Closes the serial port and the CAN socket.
void controller_dealloc(PyObject* self) {
    delete reinterpret_cast<ControllerObject*>(self)->guarded;
    free_instance(self);
}

}  // namespace

PyTypeObject* controller_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_doc,
             const_cast<char*>("KestroMotorController(serialport=None, can_bus=...)\n--\n\n")},
            {Py_tp_new, reinterpret_cast<void*>(&controller_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&controller_dealloc)},
            {Py_tp_methods, methods()},
            {0, nullptr},
        };
        static PyType_Spec spec{"KestroMotorController", sizeof(ControllerObject), 0,
                                Py_TPFLAGS_DEFAULT, slots};
        type = make_type(spec);
    }
    return type;
}

}  // namespace kestro::bindings
