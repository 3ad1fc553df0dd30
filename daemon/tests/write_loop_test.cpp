// The write loop that every backend writer shares, over a scripted write call.
#include "platform/write_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo {
namespace {

// One scripted call: what the fake write does with the bytes it is offered.
struct Step {
    enum Kind { take, take_all, interrupt, error } kind;
    std::size_t count = 0;
};

struct ScriptRun {
    std::string written;
    std::size_t calls = 0;
    OsResult<void> result = ok();
};

ScriptRun run_script(std::string_view bytes, const std::vector<Step>& script) {
    ScriptRun run;
    run.result = write_all_through(
        bytes,
        [&](std::string_view rest) {
            EXPECT_FALSE(rest.empty()) << "offered nothing to write";
            // A script that runs out takes nothing, so a loop that would
            // spin forever ends with the no-progress error instead.
            const Step step = run.calls < script.size() ? script[run.calls] : Step{Step::take, 0};
            ++run.calls;
            switch (step.kind) {
                case Step::interrupt:
                    return WriteAttempt::retry();
                case Step::error:
                    return WriteAttempt::failure(
                        OsError{5, OsErrorKind::other, "broken (os error 5)"});
                case Step::take_all:
                    run.written.append(rest);
                    return WriteAttempt::took(rest.size());
                case Step::take:
                    run.written.append(rest.substr(0, step.count));
                    return WriteAttempt::took(step.count);
            }
            return WriteAttempt::took(0);
        },
        [] {
            return OsError{29, OsErrorKind::other, "took nothing (os error 29)"};
        });
    return run;
}

TEST(WriteLoopTest, FinishesShortWritesRetriesAndStopsOnNoProgress) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Step> script;
        std::string written;
        std::size_t calls;
        const char* error;  // nullptr: success
    } cases[] = {
        {"one call", "abcdef", {{Step::take_all}}, "abcdef", 1, nullptr},
        {"nothing to write", "", {}, "", 0, nullptr},
        {"short writes",
         "abcdef",
         {{Step::take, 1}, {Step::take, 2}, {Step::take_all}},
         "abcdef",
         3,
         nullptr},
        {"interrupted calls are repeated",
         "abcdef",
         {{Step::interrupt}, {Step::take, 4}, {Step::interrupt}, {Step::take_all}},
         "abcdef",
         4,
         nullptr},
        {"a call that takes nothing ends the loop",
         "abcdef",
         {{Step::take, 2}, {Step::take, 0}},
         "ab",
         2,
         "took nothing (os error 29)"},
        {"the first call takes nothing",
         "abcdef",
         {{Step::take, 0}},
         "",
         1,
         "took nothing (os error 29)"},
        {"a claim beyond the offer ends the loop",
         "abc",
         {{Step::take, 4}},
         "abc",
         1,
         "took nothing (os error 29)"},
        {"an error ends the loop",
         "abcdef",
         {{Step::take, 3}, {Step::error}},
         "abc",
         2,
         "broken (os error 5)"},
    };
    for (const auto& c : cases) {
        const ScriptRun run = run_script(c.bytes, c.script);
        EXPECT_EQ(run.written, c.written) << c.what;
        EXPECT_EQ(run.calls, c.calls) << c.what;
        if (c.error == nullptr) {
            EXPECT_TRUE(run.result) << c.what << ": " << run.result.error().text;
        } else {
            ASSERT_FALSE(run.result) << c.what;
            EXPECT_EQ(run.result.error().text, c.error) << c.what;
        }
    }
}

}  // namespace
}  // namespace kavo
