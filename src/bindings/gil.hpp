// The interpreter lock around long calls, and Ctrl-C during them.
// - A wait on a control loop's thread is made without the lock: that thread needs it to forward
//   a log record to Python, so a caller that kept it while waiting (for a queue slot, a reply,
//   the end of the thread) could wait forever.
// - Every long call polls Python's signal handlers, as CPython's own blocking calls do, so that
//   a KeyboardInterrupt ends it; it then returns with that exception set.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "common/cancel.hpp"

namespace kestro::bindings {

// For calls that keep the interpreter lock: asks to stop when a signal handler raised.
inline CancelToken python_signals() {
    return CancelToken([] { return PyErr_CheckSignals() != 0; });
}

namespace detail {

// `wait(cancel)`, or `wait()` for a wait that cannot be interrupted (a lock taken briefly).
template <class Wait>
decltype(auto) call_wait(Wait&& wait, const CancelToken& cancel) {
    if constexpr (std::is_invocable_v<Wait&&, const CancelToken&>) {
        return std::forward<Wait>(wait)(cancel);
    } else {
        return std::forward<Wait>(wait)();
    }
}

}  // namespace detail

// Runs `wait(cancel)` (or `wait()`) without the interpreter lock and gives its result. `wait`
// must not touch any Python object. Each poll of `cancel` takes the lock back for a moment to
// run the signal handlers. The lock is taken back on the normal path, not in a destructor:
// while the interpreter finalises, taking it back ends a non-main thread by unwinding, which
// must not start inside a destructor (nor be tried twice: `saved` is cleared meanwhile).
template <class Wait>
auto without_gil(Wait&& wait) {
    PyThreadState* saved = PyEval_SaveThread();
    const CancelToken cancel([&saved] {
        PyEval_RestoreThread(std::exchange(saved, nullptr));
        const bool raised = PyErr_CheckSignals() != 0;
        saved = PyEval_SaveThread();
        return raised;
    });
    auto restore = [&saved] {
        if (saved != nullptr) PyEval_RestoreThread(saved);
    };
    using R = decltype(detail::call_wait(std::forward<Wait>(wait), cancel));
    if constexpr (std::is_void_v<R>) {
        try {
            detail::call_wait(std::forward<Wait>(wait), cancel);
        } catch (...) {
            restore();
            throw;
        }
        restore();
    } else {
        auto result = [&] {
            try {
                return detail::call_wait(std::forward<Wait>(wait), cancel);
            } catch (...) {
                restore();
                throw;
            }
        }();
        restore();
        return result;
    }
}

}  // namespace kestro::bindings
