// The write loop that every backend writer shares, over a scripted write call.
#include "platform/write_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
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

// The copy loop over a scripted source and a sink that takes everything or
// fails at a given call.
TEST(WriteLoopTest, CopyWritesEveryChunkAndStopsAtTheFirstFailure) {
    // A source step: a chunk to hand out, a failure, or a count that claims
    // more than the buffer holds.
    struct Read {
        enum Kind { chunk, error, overclaim } kind;
        std::string bytes;
    };
    struct Case {
        const char* what;
        std::vector<Read> source;    // then the end
        std::size_t write_fails_at;  // 0: never
        std::string written;
        std::size_t reads;
        const char* error;  // nullptr: success
    } cases[] = {
        {"chunks up to the end",
         {{Read::chunk, "abcd"}, {Read::chunk, "ef"}},
         0,
         "abcdef",
         3,
         nullptr},
        {"an empty source", {}, 0, "", 1, nullptr},
        {"a failed read ends the copy",
         {{Read::chunk, "ab"}, {Read::error, ""}, {Read::chunk, "cd"}},
         0,
         "ab",
         2,
         "unreadable (os error 23)"},
        {"a failed write ends the copy before the next read",
         {{Read::chunk, "ab"}, {Read::chunk, "cd"}, {Read::chunk, "ef"}},
         2,
         "ab",
         2,
         "broken (os error 5)"},
        {"a read claiming more than the buffer",
         {{Read::overclaim, ""}},
         0,
         "",
         1,
         "took nothing (os error 29)"},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 4> buffer{};
        std::size_t reads = 0;
        std::size_t writes = 0;
        std::string written;
        const auto result = copy_all_through(
            buffer,
            [&](std::span<std::uint8_t> into) -> OsResult<std::size_t> {
                EXPECT_EQ(into.size(), buffer.size()) << c.what;
                const std::size_t step = reads++;
                if (step >= c.source.size()) {
                    return std::size_t{0};
                }
                const Read& read = c.source[step];
                switch (read.kind) {
                    case Read::error:
                        return fail(OsError{23, OsErrorKind::other, "unreadable (os error 23)"});
                    case Read::overclaim:
                        return into.size() + 1;
                    case Read::chunk:
                        break;
                }
                std::copy(read.bytes.begin(), read.bytes.end(), into.begin());
                return read.bytes.size();
            },
            [&](std::string_view rest) {
                if (++writes == c.write_fails_at) {
                    return WriteAttempt::failure(
                        OsError{5, OsErrorKind::other, "broken (os error 5)"});
                }
                written.append(rest);
                return WriteAttempt::took(rest.size());
            },
            [] {
                return OsError{29, OsErrorKind::other, "took nothing (os error 29)"};
            });
        EXPECT_EQ(written, c.written) << c.what;
        EXPECT_EQ(reads, c.reads) << c.what;
        if (c.error == nullptr) {
            EXPECT_TRUE(result) << c.what << ": " << result.error().text;
        } else {
            ASSERT_FALSE(result) << c.what;
            EXPECT_EQ(result.error().text, c.error) << c.what;
        }
    }
}

}  // namespace
}  // namespace kavo
