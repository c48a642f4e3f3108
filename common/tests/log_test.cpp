#include "common/log.hpp"

#include <gtest/gtest.h>

#include "common/log_capture.hpp"

namespace kestro::log {
namespace {

constexpr std::string_view FIRST_TARGET = "kestro_motor_controller::controller";
constexpr std::string_view SECOND_TARGET = "kestro_motor_controller::control_loop";

class Silent final : public Sink {
public:
    void write(const Record&) override {}
};

TEST(Log, NothingIsBuiltBeforeASinkIsInstalledAndTraceNeverIs) {
    int built = 0;
    auto count = [&] { ++built; return std::string("x"); };
    // Other tests of this binary may have installed the capture already; only check the
    // initial state when they have not.
    if (!enabled(Level::Error)) {
        emit(Level::Error, FIRST_TARGET, count);
        EXPECT_EQ(built, 0);
    }
    Capture& capture = Capture::instance();
    emit(Level::Trace, FIRST_TARGET, count);
    EXPECT_EQ(built, 0);
    EXPECT_TRUE(enabled(Level::Debug));
    EXPECT_FALSE(enabled(Level::Trace));
    EXPECT_TRUE(capture.take().empty());
}

TEST(Log, RecordsCarryLevelTargetSourceAndMessage) {
    Capture& capture = Capture::instance();
    unsigned line = __LINE__ + 1;
    emit(Level::Warn, SECOND_TARGET, [] { return std::string("hello ") + "there"; });
    auto records = capture.take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Level::Warn);
    EXPECT_EQ(records[0].target, "kestro_motor_controller::control_loop");
    EXPECT_EQ(records[0].message, "hello there");
    EXPECT_EQ(records[0].line, line);
    EXPECT_NE(records[0].file.find("log_test.cpp"), std::string::npos);
}

TEST(Log, ASecondSinkIsRefused) {
    Capture::instance();
    static Silent other;
    EXPECT_FALSE(install(other));
    emit(Level::Info, FIRST_TARGET, [] { return std::string("still captured"); });
    EXPECT_EQ(Capture::instance().take().size(), 1u);
}

}  // namespace
}  // namespace kestro::log
