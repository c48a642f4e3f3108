// KestroNeckState, KestroDeviceHealth and KestroTorsoHealth: read-only copies of what the
// torso's devices last said of themselves, made by the methods that give them.
#include "can_motor/damiao/status.hpp"
#include "common/text.hpp"
#include "src/bindings/classes.hpp"
#include "src/bindings/exceptions.hpp"
#include "src/bindings/results.hpp"

namespace kestro::bindings {
namespace {

using controller::DeviceHealth;
using controller::NeckState;
using controller::TorsoHealth;
namespace damiao = can_motor::damiao;

// One device's health with the device it is of.
struct DeviceView {
    std::size_t device;
    DeviceHealth health;
};

// A Python object holding a copy of a C++ value.
template <class T>
struct Holder {
    PyObject_HEAD
    T* value;
};

template <class T>
const T& value_of(PyObject* self) {
    return *reinterpret_cast<Holder<T>*>(self)->value;
}

template <class T>
void dealloc(PyObject* self) {
    delete reinterpret_cast<Holder<T>*>(self)->value;
    free_instance(self);
}

template <class T>
PyObject* make(PyTypeObject* type, T value) {
    if (type == nullptr) return nullptr;
    auto copy = std::make_unique<T>(std::move(value));
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<Holder<T>*>(self)->value = copy.release();
    return self;
}

// A getter giving `Get(value)` as a Python object.
template <class T, auto Get>
PyObject* get(PyObject* self, void*) {
    return guard([&]() -> PyObject* { return Get(value_of<T>(self)); },
                 static_cast<PyObject*>(nullptr));
}

template <class T, auto Repr>
PyObject* repr(PyObject* self) {
    return guard([&] { return to_python(Repr(value_of<T>(self))); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* text(std::string_view value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* integer(unsigned long long value) {
    return PyLong_FromUnsignedLongLong(value);
}

PyObject* optional_float(const std::optional<double>& value) {
    if (!value) return none();
    return PyFloat_FromDouble(*value);
}

PyObject* string_list(const std::vector<std::string>& names) {
    return list_of(names, [](const std::string& name) { return text(name); });
}

// --- KestroNeckState ----------------------------------------------------------------------

std::string neck_state_repr(const NeckState& s) {
    const damiao::MitState& m = s.state;
    return "KestroNeckState(joint='" + std::string(controller::NECK_JOINT_NAMES[s.joint]) +
           "', motor_id=" + std::to_string(m.motor_id) + ", status_name='" +
           damiao::status_name(m.status) + "', position=" + text::fixed(m.position, 4) +
           ", velocity=" + text::fixed(m.velocity, 4) + ", torque=" + text::fixed(m.torque, 4) +
           ", temp_driver=" + std::to_string(m.temp_driver) +
           ", temp_motor=" + std::to_string(m.temp_motor) + ")";
}

PyGetSetDef neck_state_accessors[] = {
    {"joint", &get<NeckState, [](const NeckState& s) { return text(controller::NECK_JOINT_NAMES[s.joint]); }>, nullptr, nullptr, nullptr},
    {"motor_id", &get<NeckState, [](const NeckState& s) { return integer(s.state.motor_id); }>, nullptr, nullptr, nullptr},
    {"position", &get<NeckState, [](const NeckState& s) { return PyFloat_FromDouble(s.state.position); }>, nullptr, nullptr, nullptr},
    {"velocity", &get<NeckState, [](const NeckState& s) { return PyFloat_FromDouble(s.state.velocity); }>, nullptr, nullptr, nullptr},
    {"torque", &get<NeckState, [](const NeckState& s) { return PyFloat_FromDouble(s.state.torque); }>, nullptr, nullptr, nullptr},
    {"temp_driver", &get<NeckState, [](const NeckState& s) { return integer(s.state.temp_driver); }>, nullptr, nullptr, nullptr},
    {"temp_motor", &get<NeckState, [](const NeckState& s) { return integer(s.state.temp_motor); }>, nullptr, nullptr, nullptr},
    {"status", &get<NeckState, [](const NeckState& s) { return integer(s.state.status); }>, nullptr, nullptr, nullptr},
    {"status_name", &get<NeckState, [](const NeckState& s) { return text(damiao::status_name(s.state.status)); }>, nullptr, nullptr, nullptr},
    {"fault", &get<NeckState, [](const NeckState& s) { return PyBool_FromLong(damiao::is_fault(s.state.status)); }>, nullptr, nullptr, nullptr},
    {"timestamp", &get<NeckState, [](const NeckState& s) { return PyFloat_FromDouble(s.timestamp); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- KestroDeviceHealth -------------------------------------------------------------------

// Python's repr of a new object, or "?" when it cannot be made.
std::string python_repr(PyRef object) {
    const PyRef shown = PyRef::steal(object ? PyObject_Repr(object.get()) : nullptr);
    const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

std::string device_repr(const DeviceView& v) {
    const DeviceHealth& h = v.health;
    return "KestroDeviceHealth(" + controller::device_label(v.device) + ": faults=" +
           python_repr(PyRef::steal(string_list(controller::faults(v.device, h)))) +
           ", consecutive_failures=" + std::to_string(h.consecutive_failures) +
           ", last_answer=" + (h.last_answer ? text::fixed(*h.last_answer, 3) : "None") +
           ", last_error=" + (h.last_error ? python_repr(PyRef::steal(text(*h.last_error))) : "None") + ")";
}

PyGetSetDef device_accessors[] = {
    {"last_answer", &get<DeviceView, [](const DeviceView& v) { return optional_float(v.health.last_answer); }>, nullptr, nullptr, nullptr},
    {"consecutive_failures", &get<DeviceView, [](const DeviceView& v) { return integer(v.health.consecutive_failures); }>, nullptr, nullptr, nullptr},
    {"last_error", &get<DeviceView, [](const DeviceView& v) { return v.health.last_error ? text(*v.health.last_error) : none(); }>, nullptr, nullptr, nullptr},
    {"faults", &get<DeviceView, [](const DeviceView& v) { return string_list(controller::faults(v.device, v.health)); }>, nullptr, nullptr, nullptr},
    {"neck_state", &get<DeviceView, [](const DeviceView& v) { return v.health.neck_state ? to_python(*v.health.neck_state) : none(); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- KestroTorsoHealth --------------------------------------------------------------------

// One line: what is wrong first (faults, devices failing now, devices not heard from), then
// the loop's counters.
std::string torso_repr(const TorsoHealth& health) {
    std::vector<std::string> faulty;
    std::vector<std::string> failing;
    std::vector<std::string> unheard;
    for (std::size_t d = 0; d < health.devices.size(); ++d) {
        const DeviceHealth& h = health.devices[d];
        const auto faults = controller::faults(d, h);
        if (!faults.empty()) {
            faulty.push_back(std::string(controller::device_name(d)) + " " +
                             text::bracketed(faults, [](const std::string& f) { return f; }));
        }
        if (h.consecutive_failures > 0) {
            failing.push_back(std::string(controller::device_name(d)) + " (" +
                              std::to_string(h.consecutive_failures) + " in a row)");
        } else if (!h.last_answer) {
            unheard.emplace_back(controller::device_name(d));
        }
    }
    std::string out;
    auto section = [&](const char* title, const std::vector<std::string>& items) {
        if (items.empty()) return;
        out += out.empty() ? "" : "; ";
        out += title;
        for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? " " : ", ") + items[i];
    };
    section("faults:", faulty);
    section("failing:", failing);
    section("not heard from:", unheard);
    if (out.empty()) out = "all " + std::to_string(health.devices.size()) + " devices answer, no faults";
    out = "KestroTorsoHealth(" + out;
    return out + "; ticks=" + std::to_string(health.ticks) +
           ", failed_ticks=" + std::to_string(health.failed_ticks) +
           ", failed_commands=" + std::to_string(health.failed_commands) +
           ", max_tick_lag=" + text::fixed(health.max_tick_lag, 4) + ")";
}

PyObject* devices(const TorsoHealth& health) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t d = 0; d < health.devices.size(); ++d) {
        const PyRef value =
            PyRef::steal(make(device_health_type(), DeviceView{d, health.devices[d]}));
        if (!value || PyDict_SetItemString(dict.get(), std::string(controller::device_name(d)).c_str(),
                                           value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

PyGetSetDef torso_accessors[] = {
    {"devices", &get<TorsoHealth, &devices>, nullptr, nullptr, nullptr},
    {"ticks", &get<TorsoHealth, [](const TorsoHealth& h) { return integer(h.ticks); }>, nullptr, nullptr, nullptr},
    {"failed_ticks", &get<TorsoHealth, [](const TorsoHealth& h) { return integer(h.failed_ticks); }>, nullptr, nullptr, nullptr},
    {"failed_commands", &get<TorsoHealth, [](const TorsoHealth& h) { return integer(h.failed_commands); }>, nullptr, nullptr, nullptr},
    {"max_tick_lag", &get<TorsoHealth, [](const TorsoHealth& h) { return PyFloat_FromDouble(h.max_tick_lag); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A read-only class whose instances only the module's methods make.
template <class T, auto Repr>
PyTypeObject* value_type(const char* name, PyGetSetDef* accessors) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)},
        {Py_tp_repr, reinterpret_cast<void*>(&repr<T, Repr>)},
        {Py_tp_getset, accessors},
        {0, nullptr},
    };
    PyType_Spec spec{name, sizeof(Holder<T>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return make_type(spec);
}

}  // namespace

PyTypeObject* neck_state_type() {
    static PyTypeObject* type = value_type<NeckState, &neck_state_repr>("KestroNeckState", neck_state_accessors);
    return type;
}

PyTypeObject* device_health_type() {
    static PyTypeObject* type = value_type<DeviceView, &device_repr>("KestroDeviceHealth", device_accessors);
    return type;
}

PyTypeObject* torso_health_type() {
    static PyTypeObject* type = value_type<TorsoHealth, &torso_repr>("KestroTorsoHealth", torso_accessors);
    return type;
}

PyObject* to_python(const NeckState& state) {
    return make(neck_state_type(), state);
}

PyObject* to_python(const TorsoHealth& health) {
    return make(torso_health_type(), health);
}

}  // namespace kestro::bindings
