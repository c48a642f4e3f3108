#include "common/io_error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace kestro {

TEST(IoError, OsErrorsKeepTheirKindNumberAndPlatformText) {
    IoError missing = IoError::from_errno(ENODEV);
    EXPECT_EQ(missing.kind(), IoErrorKind::Other);
    EXPECT_EQ(missing.os_error(), ENODEV);
    EXPECT_EQ(missing.message(), "No such device (os error 19)");

    EXPECT_EQ(IoError::from_errno(EINTR).kind(), IoErrorKind::Interrupted);
    EXPECT_EQ(IoError::from_errno(ETIMEDOUT).kind(), IoErrorKind::TimedOut);
    EXPECT_EQ(IoError::from_errno(EAGAIN).kind(), IoErrorKind::WouldBlock);
}

TEST(IoError, LayerErrorsCarryTheirOwnTextsAndNoErrno) {
    EXPECT_EQ(IoError::timed_out().message(), "Operation timed out");
    EXPECT_EQ(IoError::timed_out().kind(), IoErrorKind::TimedOut);
    EXPECT_EQ(IoError::unexpected_eof().message(), "failed to fill whole buffer");
    EXPECT_EQ(IoError::write_zero().message(), "failed to write whole buffer");
    EXPECT_EQ(IoError::write_zero().os_error(), 0);
}

}  // namespace kestro
