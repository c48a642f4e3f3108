#include "src/control_loop/retry.hpp"

#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "src/controller/controller.hpp"

namespace kestro::control_loop {
namespace {

using controller::ControllerError;
using controller::Outcome;
using namespace std::chrono_literals;

ControllerError io_failure(IoErrorKind kind) {
    return ControllerError(servo_bus::ServoBusError(IoError::custom(kind, "io")));
}

// An operation that fails with `failures` in turn, then succeeds.
auto scripted(std::vector<ControllerError> failures, int& calls) {
    return [failures = std::move(failures), &calls]() -> Outcome<int> {
        int call = calls++;
        if (call < static_cast<int>(failures.size())) return fail(failures[call]);
        return 42;
    };
}

TEST(Retry, TimeOutsAndInterruptionsAreRetriedAndTheRecoveryIsLogged) {
    log::Capture::instance().take();
    int calls = 0;
    auto begun = std::chrono::steady_clock::now();
    auto result = with_retry(scripted({io_failure(IoErrorKind::TimedOut),
                                       io_failure(IoErrorKind::Interrupted)}, calls), 3);
    EXPECT_EQ(result, 42);
    EXPECT_EQ(calls, 3);
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 2 * RETRY_PAUSE);
    auto records = log::Capture::instance().take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Serial I/O recovered after 2 retries");
    EXPECT_EQ(records[0].level, log::Level::Info);
    EXPECT_EQ(records[0].target, "kestro_motor_controller::control_loop");
}

TEST(Retry, TheAttemptLimitCountsTheFirstAttempt) {
    int calls = 0;
    auto once = with_retry(scripted({io_failure(IoErrorKind::TimedOut)}, calls), 1);
    EXPECT_FALSE(once);
    EXPECT_EQ(calls, 1);

    calls = 0;
    std::vector<ControllerError> five(5, io_failure(IoErrorKind::TimedOut));
    EXPECT_FALSE(with_retry(scripted(five, calls), 5));
    EXPECT_EQ(calls, 5);
}

TEST(Retry, OtherFailuresAreGivenBackAtOnce) {
    for (ControllerError error :
         {ControllerError(servo_bus::ServoBusError(servo_bus::CommunicationErrorKind::TimeoutError)),
          ControllerError(servo_bus::ServoBusError(servo_bus::CommunicationErrorKind::ChecksumError)),
          io_failure(IoErrorKind::UnexpectedEof), ControllerError("serial port not configured")}) {
        int calls = 0;
        auto result = with_retry(scripted({error}, calls), 5);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), error.message());
        EXPECT_EQ(calls, 1) << error.message();
    }
}

}  // namespace
}  // namespace kestro::control_loop
