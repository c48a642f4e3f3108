// The control loop's one retry policy for serial reads: a read that timed out or was
// interrupted is tried again after 20 ms, up to `allowed_retries` attempts in all. Protocol
// errors (checksum, parsing, the handler's own time-out) are never retried: a garbled bus does
// not heal by asking again.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/cancel.hpp"
#include "common/log.hpp"
#include "src/control_loop/log_target.hpp"
#include "src/controller/controller_error.hpp"

namespace kestro::control_loop {

inline constexpr std::chrono::milliseconds RETRY_PAUSE{20};

inline bool is_retryable(const controller::ControllerError& error) {
    const IoError* io = error.io_error();
    return io != nullptr &&
           (io->kind() == IoErrorKind::TimedOut || io->kind() == IoErrorKind::Interrupted);
}

// Runs `operation` (giving a Result with a ControllerError) under the policy; gives its value
// or its last error. A request of `cancel` ends the pauses early, with the last error.
template <class Operation>
auto with_retry(Operation&& operation, std::uint64_t allowed_retries,
                const CancelToken& cancel = {}) {
    for (std::uint64_t attempt = 1;; ++attempt) {
        auto result = operation();
        if (result) {
            if (attempt > 1) {
                log::emit(log::Level::Info, LOG_TARGET, [&] {
                    return "Serial I/O recovered after " + std::to_string(attempt - 1) + " retries";
                });
            }
            return result;
        }
        if (!is_retryable(result.error()) || attempt >= allowed_retries) return result;
        if (!sleep_for(RETRY_PAUSE, cancel)) return result;
    }
}

}  // namespace kestro::control_loop
