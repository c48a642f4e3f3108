// The module's classes. Each type object is created on first use and kept for the life of
// the process; each getter gives null with a Python error set if it cannot be created.
#pragma once

#include <Python.h>

#include "src/control_loop/torso_position.hpp"

namespace kestro::bindings {

PyTypeObject* controller_type();
PyTypeObject* control_loop_type();
PyTypeObject* torso_position_type();
PyTypeObject* loop_stats_type();
PyTypeObject* neck_state_type();
PyTypeObject* device_health_type();
PyTypeObject* torso_health_type();

// New Python objects holding a copy of the value.
PyObject* new_torso_position(const control_loop::KestroTorsoPosition& value);
PyObject* new_loop_stats(control_loop::ControlLoopStats value);

// A heap type from `spec`, whose name is the bare class name. Its `__module__` is "builtins",
// the module Python leaves out when it shows a class.
PyTypeObject* make_type(PyType_Spec& spec);

// The end of every class's tp_dealloc, once the C++ value is gone: frees the instance and
// drops its reference to its type.
void free_instance(PyObject* self);

}  // namespace kestro::bindings
