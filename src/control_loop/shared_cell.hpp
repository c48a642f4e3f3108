// A value shared between the loop thread and its callers behind its own mutex. A fault that
// escapes while the lock is held marks the cell poisoned, so later users can tell that the
// value may be half-updated; each user decides whether to go on (the loop keeps serving).
#pragma once

#include <mutex>
#include <utility>

namespace kestro::control_loop {

template <class T>
class SharedCell {
public:
    explicit SharedCell(T value) : value_(std::move(value)) {}

    // Runs `use(value)` under the lock and gives its result. A fault inside poisons the cell
    // and travels on.
    template <class Use>
    auto with_lock(Use&& use) {
        std::lock_guard lock(mutex_);
        try {
            return std::forward<Use>(use)(value_);
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    // As with_lock, but does nothing on a poisoned cell; true when `use` ran.
    template <class Use>
    bool with_healthy_lock(Use&& use) {
        return with_lock([&](T& value) {
            if (poisoned_) return false;
            std::forward<Use>(use)(value);
            return true;
        });
    }

    // A copy of the value, and whether the cell was poisoned.
    std::pair<T, bool> copy() {
        std::lock_guard lock(mutex_);
        return {value_, poisoned_};
    }

    bool poisoned() {
        std::lock_guard lock(mutex_);
        return poisoned_;
    }

private:
    std::mutex mutex_;
    T value_;
    bool poisoned_ = false;
};

}  // namespace kestro::control_loop
