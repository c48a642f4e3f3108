// Python exceptions raised by the module, and the boundary that keeps C++ exceptions from
// crossing into the interpreter: an internal fault becomes PanicException instead.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <string_view>

#include "src/bindings/py_ref.hpp"

namespace kestro::bindings {

// Sets `type` with `message` as the pending exception; gives nullptr, so that a caller can
// write `return raise(PyExc_RuntimeError, text);`.
PyObject* raise(PyObject* type, std::string_view message);

// For an operation that a signal handler stopped (Ctrl-C): the handler's exception, already
// pending, stays so (KeyboardInterrupt should none be); gives nullptr.
PyObject* raise_interrupted();

// The pending exception as one object, cleared; empty when none is pending.
PyRef take_exception();
// Makes `exception` the pending exception again; none for an empty one.
void restore_exception(PyRef exception);

// The class raised for internal faults, created on first need (not a module attribute).
// Null, with an exception set, if it cannot be created.
PyObject* panic_exception();

// Sets PanicException with `message`. If that fails in turn, nothing sensible is left to
// report to: the process aborts with "uncaught panic at ffi boundary".
void raise_panic(std::string_view message) noexcept;

// Runs one entry point from Python (module initialisation, a constructor, a method, a
// property) and gives its result. A C++ exception that escapes `body` is raised as
// PanicException and `failure` is given. The unwinding that ends a thread (pthread_exit while
// the interpreter finalises) is not a fault and passes through.
template <class Body, class R>
R guard(Body&& body, R failure) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
    return failure;
}

}  // namespace kestro::bindings
