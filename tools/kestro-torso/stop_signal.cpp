#include "tools/kestro-torso/stop_signal.hpp"

#include <atomic>

namespace kestro::tool {
namespace {

// Set from the handler: only a lock-free atomic may be touched there.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void request_stop(int) { requested.store(true, std::memory_order_relaxed); }

}  // namespace

StopSignals::StopSignals() {
    requested.store(false, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_int_);
    ::sigaction(SIGTERM, &action, &old_term_);
}

StopSignals::~StopSignals() {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
}

bool stop_requested() { return requested.load(std::memory_order_relaxed); }

CancelToken stop_token() {
    return CancelToken([] { return stop_requested(); });
}

}  // namespace kestro::tool
