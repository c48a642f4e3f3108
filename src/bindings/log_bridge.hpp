// The bridge from the system's log records to Python's `logging`: one process-wide sink that
// forwards each record to the logger named after its target ("::" becomes "."), from whichever
// thread emits it.
#pragma once

namespace kestro::bindings::log_bridge {

// Imports `logging` and makes the bridge the process's only log sink. Throws (an internal
// fault) when `logging` cannot be imported or another sink is installed already.
void install();

// From now on records are dropped without touching Python. Called with the interpreter lock
// held when the interpreter is about to finalise, after which no other thread may take the
// lock; returns once no thread is forwarding a record any more.
void stop_forwarding();

}  // namespace kestro::bindings::log_bridge
