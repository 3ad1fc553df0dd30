// Renames that a scanner or an indexer can block for a moment: which failures
// are tried again and after what pause, and the loop fed with failing renames
// of both systems' codes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/rename_retry.h"
#include "platform/os_error.h"

namespace kavo {
namespace {

using std::chrono::milliseconds;

constexpr std::uint32_t SHARING = 32;
constexpr std::uint32_t LOCK = 33;
constexpr std::uint32_t DENIED = 5;
constexpr std::uint32_t NOT_FOUND = 2;
constexpr std::uint32_t ALREADY_EXISTS = 183;
// Linux: EACCES, EBUSY, EXDEV.
constexpr std::uint32_t LINUX_DENIED = 13;
constexpr std::uint32_t LINUX_BUSY = 16;
constexpr std::uint32_t LINUX_CROSS_DEVICE = 18;

TEST(RenameRetryTest, OnlyABriefHoldOnWindowsIsTriedAgainWithGrowingPauses) {
    struct Case {
        int failed_tries;
        std::uint32_t code;
        ErrorRules rules;
        std::optional<milliseconds> pause;
    } cases[] = {
        {1, SHARING, ErrorRules::windows, milliseconds(20)},
        {1, LOCK, ErrorRules::windows, milliseconds(20)},
        {1, DENIED, ErrorRules::windows, milliseconds(20)},
        {2, SHARING, ErrorRules::windows, milliseconds(40)},
        {3, SHARING, ErrorRules::windows, milliseconds(80)},
        {4, DENIED, ErrorRules::windows, milliseconds(160)},
        {5, SHARING, ErrorRules::windows, milliseconds(320)},
        {9, LOCK, ErrorRules::windows, milliseconds(320)},
        // The tenth try is the last.
        {10, SHARING, ErrorRules::windows, std::nullopt},
        {11, SHARING, ErrorRules::windows, std::nullopt},
        {0, SHARING, ErrorRules::windows, std::nullopt},
        {1, NOT_FOUND, ErrorRules::windows, std::nullopt},
        {1, ALREADY_EXISTS, ErrorRules::windows, std::nullopt},
        // On Linux nothing holds a file against a rename for a moment: the
        // same numbers mean other things there, and none is tried again.
        {1, LINUX_DENIED, ErrorRules::posix, std::nullopt},
        {1, LINUX_BUSY, ErrorRules::posix, std::nullopt},
        {1, LINUX_CROSS_DEVICE, ErrorRules::posix, std::nullopt},
        {1, DENIED, ErrorRules::posix, std::nullopt},
        {1, SHARING, ErrorRules::posix, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rename_retry_pause(c.failed_tries, c.code, c.rules), c.pause)
            << c.failed_tries << " tries, code " << c.code << ", "
            << (c.rules == ErrorRules::windows ? "windows" : "posix");
    }
    // About two seconds at most between the first try and the last.
    milliseconds total{0};
    for (int tries = 1; tries < RENAME_TRIES; ++tries) {
        total += rename_retry_pause(tries, SHARING, ErrorRules::windows).value_or(milliseconds(0));
    }
    EXPECT_EQ(total, milliseconds(1900));
}

OsError error_with(std::uint32_t code) {
    return OsError{code, OsErrorKind::other, "scripted (os error " + std::to_string(code) + ")"};
}

TEST(RenameRetryTest, TheLoopRetriesUntilTheRenameGoesThroughOrItsFailureStands) {
    struct Case {
        const char* what;
        // The codes the rename fails with, in order; then it goes through.
        std::vector<std::uint32_t> failures;
        ErrorRules rules;
        int tries;
        // The code of the failure that stands; 0: renamed.
        std::uint32_t error;
    } cases[] = {
        {"at once", {}, ErrorRules::windows, 1, 0},
        {"after a sharing violation", {SHARING}, ErrorRules::windows, 2, 0},
        {"after three holds", {SHARING, LOCK, DENIED}, ErrorRules::windows, 4, 0},
        {"on the tenth try", std::vector<std::uint32_t>(9, SHARING), ErrorRules::windows, 10, 0},
        {"held too long", std::vector<std::uint32_t>(10, SHARING), ErrorRules::windows, 10,
         SHARING},
        {"a lasting failure", {NOT_FOUND}, ErrorRules::windows, 1, NOT_FOUND},
        {"a hold, then a lasting failure",
         {DENIED, ALREADY_EXISTS},
         ErrorRules::windows,
         2,
         ALREADY_EXISTS},
        {"linux: busy", {LINUX_BUSY}, ErrorRules::posix, 1, LINUX_BUSY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int tries = 0;
        std::vector<milliseconds> pauses;
        const auto renamed = rename_with_retries(
            [&]() -> OsResult<void> {
                const std::size_t at = static_cast<std::size_t>(tries++);
                if (at < c.failures.size()) {
                    return fail(error_with(c.failures[at]));
                }
                return ok();
            },
            [&](milliseconds pause) { pauses.push_back(pause); }, c.rules);
        EXPECT_EQ(tries, c.tries);
        if (c.error == 0) {
            EXPECT_TRUE(renamed) << renamed.error().text;
        } else {
            ASSERT_FALSE(renamed);
            EXPECT_EQ(renamed.error().code, c.error);
            EXPECT_EQ(renamed.error().text, error_with(c.error).text);
        }
        // One pause between two tries, each as the rule says.
        ASSERT_EQ(pauses.size(), static_cast<std::size_t>(c.tries - 1));
        for (std::size_t i = 0; i < pauses.size(); ++i) {
            EXPECT_EQ(pauses[i],
                      rename_retry_pause(static_cast<int>(i) + 1, c.failures[i], c.rules));
        }
    }
}

}  // namespace
}  // namespace kavo
