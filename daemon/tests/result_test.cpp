// Results: propagation helpers and the refusal to read the wrong alternative.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/result.h"

namespace kavo {
namespace {

Result<int> parse_digit(char c) {
    if (c < '0' || c > '9') {
        return fail(std::string("not a digit: ") + c);
    }
    return c - '0';
}

Result<void> require_even(int value) {
    if (value % 2 != 0) {
        return fail("odd");
    }
    return ok();
}

// Two digits, the first even; every failure passes through unchanged.
Result<int> parse_even_pair(const char* text) {
    KAVO_TRY(const int high, parse_digit(text[0]));
    KAVO_TRY_OK(require_even(high));
    KAVO_TRY(const int low, parse_digit(text[1]));
    return high * 10 + low;
}

// A value that only moves, to show that KAVO_TRY moves it out.
Result<std::unique_ptr<int>> boxed(int value) {
    return std::make_unique<int>(value);
}

Result<int> unbox(int value) {
    KAVO_TRY(auto box, boxed(value));
    return *box;
}

TEST(ResultTest, PropagationReturnsTheFirstFailureUnchanged) {
    struct Case {
        const char* text;
        bool succeeds;
        int value;
        std::string error;
    };
    const Case cases[] = {
        {"42", true, 42, ""},
        {"x2", false, 0, "not a digit: x"},
        {"32", false, 0, "odd"},
        {"4y", false, 0, "not a digit: y"},
    };
    for (const auto& c : cases) {
        const auto result = parse_even_pair(c.text);
        ASSERT_EQ(result.has_value(), c.succeeds) << c.text;
        if (c.succeeds) {
            EXPECT_EQ(result.value(), c.value) << c.text;
        } else {
            EXPECT_EQ(result.error(), c.error) << c.text;
        }
    }
    EXPECT_EQ(unbox(7).value(), 7);
}

using ResultDeathTest = ::testing::Test;

TEST_F(ResultDeathTest, ReadingTheWrongAlternativeEndsTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            const Result<int> failed = fail("no value");
            static_cast<void>(failed.value());
        },
        "value\\(\\) of a failed result");
    EXPECT_DEATH(
        {
            const Result<int> succeeded = 1;
            static_cast<void>(succeeded.error());
        },
        "error\\(\\) of a successful result");
    EXPECT_DEATH(
        {
            const Result<void> succeeded = ok();
            static_cast<void>(succeeded.error());
        },
        "error\\(\\) of a successful result");
}

}  // namespace
}  // namespace kavo
