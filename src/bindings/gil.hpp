// Releasing the interpreter lock around a wait on a control loop's thread. That thread needs
// the lock to forward a log record to Python; a caller that kept the lock while waiting for it
// (for a queue slot, a reply, the end of the thread) could wait forever.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

namespace kestro::bindings {

// Runs `wait` without the interpreter lock and gives its result. `wait` must not touch any
// Python object. The lock is taken back on the normal path, not in a destructor: while the
// interpreter finalises, taking it back ends a non-main thread by unwinding, which must not
// start inside a destructor.
template <class Wait>
auto without_gil(Wait&& wait) -> decltype(wait()) {
    PyThreadState* saved = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(wait())>) {
        try {
            std::forward<Wait>(wait)();
        } catch (...) {
            PyEval_RestoreThread(saved);
            throw;
        }
        PyEval_RestoreThread(saved);
    } else {
        auto result = [&] {
            try {
                return std::forward<Wait>(wait)();
            } catch (...) {
                PyEval_RestoreThread(saved);
                throw;
            }
        }();
        PyEval_RestoreThread(saved);
        return result;
    }
}

}  // namespace kestro::bindings
