// An owning reference to a Python object. The C API hands out new references that each need
// one Py_DECREF on every path out of the caller; a PyRef gives it at its end of scope, so that
// early returns and C++ exceptions cannot leak or release twice. Like any reference count
// change, destroying one needs the interpreter lock: objects kept for the life of the process
// (statics, whose destructors run after the interpreter has finalised) stay raw pointers.
#pragma once

#include <Python.h>

#include <utility>

namespace kestro::bindings {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference; null (a failed call, its exception set) gives an empty one.
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference on: to the caller, or to a call that steals it.
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace kestro::bindings
