// What happens to running control loops when the interpreter exits. A loop thread forwards its
// log records to Python, and must never do so while the interpreter finalises; so before that,
// the log bridge stops forwarding and every loop still owned by a Python object is closed.
#pragma once

#include <memory>

#include "src/control_loop/control_loop.hpp"

namespace kestro::bindings::interpreter_exit {

// Registers the exit hook with Python's `atexit` (it runs after non-daemon threads have been
// joined and before finalisation starts). False with a Python error set on failure.
bool install();

// Puts a loop among those that the exit hook closes. Needs the interpreter lock.
void track(const std::shared_ptr<control_loop::KestroControlLoop>& loop);

}  // namespace kestro::bindings::interpreter_exit
