#include "src/bindings/log_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/log.hpp"
#include "src/bindings/exceptions.hpp"
#include "src/bindings/gil.hpp"
#include "src/bindings/py_ref.hpp"

namespace kestro::bindings::log_bridge {
namespace {

// Python's level numbers; 0 for records that are never forwarded (Trace).
int python_level(log::Level level) {
    switch (level) {
        case log::Level::Error:
            return 40;
        case log::Level::Warn:
            return 30;
        case log::Level::Info:
            return 20;
        case log::Level::Debug:
            return 10;
        default:
            return 0;
    }
}

// "kestro_motor_controller::controller" -> "kestro_motor_controller.controller".
std::string logger_name(std::string_view target) {
    std::string name;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target.compare(i, 2, "::") == 0) {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

// What the bridge keeps per target, from the target's first record on. The references are
// kept for the life of the process, as raw pointers: a record's thread copies its target
// before it takes the interpreter lock (lookup), which copying a PyRef would need.
struct Target {
    PyObject* logger = nullptr;
    PyObject* name = nullptr;
    // The lowest level the logger was enabled for when first seen; INT_MAX for none.
    int threshold = INT_MAX;
};

// Counts a thread in for its scope.
class InFlight {
public:
    explicit InFlight(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~InFlight() { count_.fetch_sub(1); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

private:
    std::atomic<int>& count_;
};

// The interpreter lock, taken by whichever thread emits a record, for its scope.
class InterpreterLock {
public:
    InterpreterLock() : state_(PyGILState_Ensure()) {}
    ~InterpreterLock() { PyGILState_Release(state_); }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    PyGILState_STATE state_;
};

class Bridge final : public log::Sink {
public:
    explicit Bridge(PyRef get_logger) : get_logger_(std::move(get_logger)) {}

    void write(const log::Record& record) override {
        const int level = python_level(record.level);
        if (level == 0) return;
        const std::optional<Target> known = lookup(record.target);
        // A record below its target's cached threshold costs no interpreter lock.
        if (known && level < known->threshold) return;
        // Counted in before forwarding is checked, so that stop() either sees this thread or
        // this thread sees the stop (both are sequentially consistent).
        const InFlight counted(in_flight_);
        if (!forwarding_.load()) return;
        const InterpreterLock lock;
        forward(record, level, known);
    }

    // Called with the interpreter lock held. Records being forwarded meanwhile may be waiting
    // for that lock: it is given up until they are through.
    void stop() {
        forwarding_.store(false);
        while (in_flight_.load() != 0) {
            without_gil([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
        }
    }

private:
    std::optional<Target> lookup(std::string_view target) {
        std::lock_guard lock(mutex_);
        auto found = targets_.find(std::string(target));
        if (found == targets_.end()) return std::nullopt;
        return found->second;
    }

    // Called with the interpreter lock held. A failure inside Python's logging cannot be
    // handed to the code that logged (it may be the loop thread), so it goes to
    // sys.unraisablehook; an exception pending on this thread is kept as it was.
    void forward(const log::Record& record, int level, const std::optional<Target>& known) {
        PyRef pending = take_exception();
        const std::optional<Target> target = known ? known : learn(record.target);
        if (!target) {
            PyErr_WriteUnraisable(nullptr);
        } else if (level >= target->threshold && !emit(*target, record, level)) {
            PyErr_WriteUnraisable(target->logger);
        }
        restore_exception(std::move(pending));
    }

    // The target's logger and threshold, asked of Python once and then cached: later changes
    // to the logging configuration are not seen for this target.
    std::optional<Target> learn(std::string_view target_name) {
        const std::string text = logger_name(target_name);
        PyRef name = PyRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!name) return std::nullopt;
        PyRef logger = PyRef::steal(PyObject_CallOneArg(get_logger_.get(), name.get()));
        if (!logger) return std::nullopt;
        int threshold = INT_MAX;
        for (int level : {10, 20, 30, 40}) {
            const int enabled = is_enabled_for(logger.get(), level);
            if (enabled < 0) return std::nullopt;
            if (enabled == 1) {
                threshold = level;
                break;
            }
        }
        std::lock_guard lock(mutex_);
        auto entry = targets_.find(std::string(target_name));
        // Another thread may have learnt the same target meanwhile: its entry stays, and the
        // references made here go (once the mutex is released).
        if (entry == targets_.end()) {
            entry = targets_
                        .emplace(std::string(target_name),
                                 Target{logger.release(), name.release(), threshold})
                        .first;
        }
        return entry->second;
    }

    static int is_enabled_for(PyObject* logger, int level) {
        const PyRef answer = PyRef::steal(PyObject_CallMethod(logger, "isEnabledFor", "i", level));
        if (!answer) return -1;
        return PyObject_IsTrue(answer.get());
    }

    // logger.makeRecord(name, level, pathname, lineno, msg, (), None), then logger.handle().
    static bool emit(const Target& target, const log::Record& record, int level) {
        const int enabled = is_enabled_for(target.logger, level);
        if (enabled <= 0) return enabled == 0;
        const PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
            record.message.data(), static_cast<Py_ssize_t>(record.message.size()), "replace"));
        if (!message) return false;
        // "()": the record's arguments, an empty tuple.
        const PyRef made = PyRef::steal(PyObject_CallMethod(
            target.logger, "makeRecord", "Ois#IO()O", target.name, level, record.file.data(),
            static_cast<Py_ssize_t>(record.file.size()), record.line, message.get(), Py_None));
        if (!made) return false;
        const PyRef handled =
            PyRef::steal(PyObject_CallMethod(target.logger, "handle", "O", made.get()));
        return static_cast<bool>(handled);
    }

    PyRef get_logger_;
    std::atomic<bool> forwarding_{true};
    std::atomic<int> in_flight_{0};  // threads between the forwarding check and its end
    std::mutex mutex_;  // guards targets_; never held while waiting for the interpreter lock
    std::unordered_map<std::string, Target> targets_;
};

// Made once and never destroyed: a loop thread may still emit records while the process ends.
Bridge* bridge = nullptr;

}  // namespace

void install() {
    const PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    PyRef get_logger =
        PyRef::steal(logging ? PyObject_GetAttrString(logging.get(), "getLogger") : nullptr);
    if (!get_logger) {
        PyErr_Clear();
        throw std::runtime_error("the logging module cannot be imported");
    }
    bridge = new Bridge(std::move(get_logger));
    if (!log::install(*bridge)) {
        throw std::runtime_error("another log sink is already installed in this process");
    }
}

void stop_forwarding() {
    if (bridge != nullptr) bridge->stop();
}

}  // namespace kestro::bindings::log_bridge
