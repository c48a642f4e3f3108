#include "src/bindings/interpreter_exit.hpp"

#include <vector>

#include "src/bindings/exceptions.hpp"
#include "src/bindings/log_bridge.hpp"
#include "src/bindings/py_ref.hpp"

namespace kestro::bindings::interpreter_exit {
namespace {

using control_loop::KestroControlLoop;

// Guarded by the interpreter lock. Weak: a loop closes and goes with its Python object.
std::vector<std::weak_ptr<KestroControlLoop>> tracked;

PyObject* at_exit(PyObject*, PyObject*) {
    return guard(
        []() -> PyObject* {
            // Once no loop thread can need the interpreter lock, the loops are closed with it
            // held: no Python thread can then keep queueing commands, so that each loop's
            // final run through its queue ends.
            log_bridge::stop_forwarding();
            for (const auto& weak : tracked) {
                // Without a cancel check, close cannot fail.
                if (auto loop = weak.lock()) (void)loop->close();
            }
            tracked.clear();
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef at_exit_def{"_close_control_loops", &at_exit, METH_NOARGS,
                        "Close the control loops still running when the interpreter exits."};

}  // namespace

bool install() {
    const PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    const PyRef hook = PyRef::steal(PyCFunction_New(&at_exit_def, nullptr));
    if (!hook) return false;
    const PyRef registered =
        PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(registered);
}

void track(const std::shared_ptr<KestroControlLoop>& loop) {
    std::erase_if(tracked, [](const auto& weak) { return weak.expired(); });
    tracked.push_back(loop);
}

}  // namespace kestro::bindings::interpreter_exit
