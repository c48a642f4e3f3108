// The module's entry point: one interpreter per process, one module object per process, the
// log bridge, the exit hook and the classes.
#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "src/bindings/classes.hpp"
#include "src/bindings/exceptions.hpp"
#include "src/bindings/interpreter_exit.hpp"
#include "src/bindings/log_bridge.hpp"
#include "src/bindings/py_ref.hpp"

namespace kestro::bindings {
namespace {

// m_size 0: CPython calls the initialisation function again on a repeated import (after the
// module was removed from sys.modules), which then gives the same module object.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kestro_motor_controller",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Both guarded by the interpreter lock of the first interpreter. The module is kept for the
// life of the process, so not in a PyRef: its static destructor would run after the
// interpreter has finalised.
std::optional<std::int64_t> first_interpreter;
PyObject* module_object = nullptr;

struct Registered {
    const char* name;
    PyTypeObject* (*type)();
};

constexpr Registered classes[] = {
    {"KestroMotorController", &controller_type},
    {"KestroPyControlLoop", &control_loop_type},
    {"KestroTorsoPosition", &torso_position_type},
    {"ControlLoopStats", &loop_stats_type},
    {"KestroNeckState", &neck_state_type},
    {"KestroDeviceHealth", &device_health_type},
    {"KestroTorsoHealth", &torso_health_type},
};

// Type objects, the log bridge and the loop threads are process-wide and bound to the first
// interpreter's lock; another interpreter cannot share them.
bool check_interpreter() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return false;
    if (!first_interpreter) first_interpreter = interpreter;
    if (*first_interpreter == interpreter) return true;
    PyErr_SetString(PyExc_ImportError,
                    "kestro_motor_controller can be imported by one interpreter per process "
                    "only; sub-interpreters are not supported");
    return false;
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    log_bridge::install();
    bool ready = interpreter_exit::install();
    for (const Registered& entry : classes) {
        if (!ready) break;
        PyTypeObject* type = entry.type();
        ready = type != nullptr && PyModule_AddObjectRef(module.get(), entry.name,
                                                         reinterpret_cast<PyObject*>(type)) == 0;
    }
    return ready ? module.release() : nullptr;
}

PyObject* initialise() {
    if (!check_interpreter()) return nullptr;
    if (module_object == nullptr) module_object = create_module();
    return Py_XNewRef(module_object);
}

}  // namespace

PyTypeObject* make_type(PyType_Spec& spec) {
    // CPython warns about a type name without a module part (DeprecationWarning, an error
    // under -W error) unless the new type's dict already holds "__module__". A placeholder
    // member puts it there; it is replaced by the module name at once.
    static PyMemberDef placeholder[] = {
        {"__module__", T_OBJECT_EX, 0, READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    std::vector<PyType_Slot> slots;
    for (PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) slots.push_back(*slot);
    slots.push_back({Py_tp_members, placeholder});
    slots.push_back({0, nullptr});
    PyType_Spec named = spec;
    named.slots = slots.data();
    // Classes are immutable, like their instances.
    named.flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyRef type = PyRef::steal(PyType_FromSpec(&named));
    if (!type) return nullptr;
    auto* view = reinterpret_cast<PyTypeObject*>(type.get());
    const PyRef module = PyRef::steal(PyUnicode_FromString("builtins"));
    if (!module || PyDict_SetItemString(view->tp_dict, "__module__", module.get()) < 0) {
        return nullptr;
    }
    PyType_Modified(view);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // An instance of a heap type holds a reference to its type, dropped after its memory.
    const PyRef held = PyRef::steal(reinterpret_cast<PyObject*>(type));
    type->tp_free(self);
}

}  // namespace kestro::bindings

PyMODINIT_FUNC PyInit_kestro_motor_controller() {
    return kestro::bindings::guard(&kestro::bindings::initialise, static_cast<PyObject*>(nullptr));
}
