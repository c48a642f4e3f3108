#include "common/result.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestro {
namespace {

// A lower layer's error and the wider one of its caller, which takes it in implicitly.
struct LowError {
    int code;
};
struct HighError {
    HighError(LowError low) : text("low " + std::to_string(low.code)) {}
    std::string text;
};

// Counts its calls, so that a test sees the expression run once.
struct Source {
    int calls = 0;
    Result<int, LowError> number(bool ok) {
        ++calls;
        if (!ok) return fail(LowError{7});
        return 21;
    }
    Result<void, LowError> step(bool ok) {
        ++calls;
        if (!ok) return fail(LowError{3});
        return {};
    }
};

Result<int, HighError> doubled(Source& source, bool ok, bool& went_on) {
    KESTRO_TRY_ASSIGN(const int value, source.number(ok));
    went_on = true;
    return 2 * value;
}

Result<int, HighError> two_steps(Source& source, bool first_ok, bool second_ok) {
    KESTRO_TRY(source.step(first_ok));
    KESTRO_TRY(source.number(second_ok));  // the value is of no use here
    return source.calls;
}

TEST(KestroTryAssign, PassesTheValueOnAndEvaluatesOnce) {
    Source source;
    bool went_on = false;
    auto result = doubled(source, true, went_on);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, 42);
    EXPECT_TRUE(went_on);
    EXPECT_EQ(source.calls, 1);
}

TEST(KestroTryAssign, ReturnsTheConvertedErrorBeforeTheRest) {
    Source source;
    bool went_on = false;
    auto result = doubled(source, false, went_on);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text, "low 7");
    EXPECT_FALSE(went_on);
    EXPECT_EQ(source.calls, 1);
}

TEST(KestroTryAssign, MovesAValueThatCannotBeCopiedAndAssignsToAnExistingVariable) {
    auto make = [](bool ok) -> Result<std::unique_ptr<int>, LowError> {
        if (!ok) return fail(LowError{1});
        return std::make_unique<int>(5);
    };
    auto take = [&](bool first_ok, bool second_ok) -> Result<int, HighError> {
        KESTRO_TRY_ASSIGN(auto owned, make(first_ok));
        std::unique_ptr<int> replaced = std::make_unique<int>(0);
        KESTRO_TRY_ASSIGN(replaced, make(second_ok));
        return *owned + *replaced;
    };
    EXPECT_EQ(*take(true, true), 10);
    EXPECT_EQ(take(true, false).error().text, "low 1");
}

TEST(KestroTry, GoesOnAfterSuccessesAndStopsAtTheFirstFailure) {
    Source all;
    auto result = two_steps(all, true, true);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, 2);  // each step ran exactly once

    Source first;
    EXPECT_EQ(two_steps(first, false, true).error().text, "low 3");
    EXPECT_EQ(first.calls, 1);  // the second step never ran

    Source second;
    EXPECT_EQ(two_steps(second, true, false).error().text, "low 7");
    EXPECT_EQ(second.calls, 2);
}

TEST(KestroTry, KeepsTheErrorWhenTheTypesAgree) {
    auto inner = []() -> Result<void, LowError> { return fail(LowError{9}); };
    auto outer = [&]() -> Result<int, LowError> {
        KESTRO_TRY(inner());
        return 0;
    };
    EXPECT_EQ(outer().error().code, 9);
}

// The parts of the result type itself that the macros do not reach.
TEST(Result, CopiesAssignsAndComparesWhicheverSideItHolds) {
    using R = Result<std::string, std::string>;  // the same type on both sides is allowed
    R value = std::string("value");
    R error = fail(std::string("error"));
    EXPECT_EQ(value, "value");
    EXPECT_FALSE(error == "error") << "an error is never equal to a value";
    EXPECT_TRUE(error == fail(std::string("error")));
    EXPECT_FALSE(value == fail(std::string("value")));
    EXPECT_EQ(error.value_or("fallback"), "fallback");
    EXPECT_EQ(value.value_or("fallback"), "value");

    R copy = error;
    copy = value;  // from the other side: the error is destroyed, the value copied in
    EXPECT_EQ(copy, "value");
    copy = std::move(error);
    EXPECT_EQ(copy.error(), "error");
    EXPECT_EQ(value->size(), 5u);

    Result<void, int> done;
    EXPECT_TRUE(done);
    done = fail(4);
    EXPECT_EQ(done.error(), 4);
}

TEST(ResultDeathTest, ReadingTheSideItDoesNotHoldStopsTheProgram) {
    Result<int, LowError> value = 1;
    Result<int, LowError> error = fail(LowError{2});
    EXPECT_DEATH((void)*error, "value read from a result that does not hold one");
    EXPECT_DEATH((void)value.error(), "error read from a result that does not hold one");
}

}  // namespace
}  // namespace kestro
