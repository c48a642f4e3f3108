#include "src/bindings/exceptions.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestro::bindings {
namespace {

// The qualified name keeps the class apart from the module's own attributes: it is reachable
// only through the exceptions it is raised with.
constexpr const char* PANIC_NAME = "kestro_runtime.PanicException";
constexpr const char* PANIC_DOC =
    "Raised when the extension's own code fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is not\n"
    "caught by an ordinary `except Exception` and normally propagates through the whole stack\n"
    "and ends the interpreter.";

// Created once, under the interpreter lock, and kept for the life of the process (not in a
// PyRef, whose static destructor would run after the interpreter has finalised).
PyObject* panic_type = nullptr;

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

PyObject* raise_interrupted() {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
}

PyObject* raise(PyObject* type, std::string_view message) {
    const PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    // Normalising may replace all three, so they are taken over only after it.
    PyErr_NormalizeException(&type, &value, &traceback);
    const PyRef owned_type = PyRef::steal(type);
    const PyRef owned_traceback = PyRef::steal(traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    // PyErr_Restore steals all three references.
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
}

PyObject* panic_exception() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(PANIC_NAME, PANIC_DOC, PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_panic(std::string_view message) noexcept {
    try {
        PyObject* type = panic_exception();
        if (type == nullptr) abort_at_boundary();
        raise(type, message);
        // Building the message can fail in turn (MemoryError), which is no PanicException.
        if (!PyErr_ExceptionMatches(type)) abort_at_boundary();
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace kestro::bindings
