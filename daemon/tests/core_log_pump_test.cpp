// The pumps of the core log end to end: a real child writes both streams and
// the log is read back from the files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_guard.h"
#include "core/core_log_file.h"
#include "core/core_log_pump.h"
#include "core/log_line.h"
#include "core/log_rotation.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_child.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A bound on waits for pumps that must end; reaching it is a failure.
constexpr auto PUMPS_END_BOUND = 60s;

constexpr int CHATTER_LINES = 300;

// Line `i` of one stream as the child writes it: varied lengths (some beyond
// one pipe read), every seventh with a credential.
std::string chatter_line(const char* stream, int i) {
    std::string line = std::string(stream) + " " + std::to_string(i) + " ";
    line.append(static_cast<std::size_t>((i * 7919) % 20000), static_cast<char>('a' + i % 26));
    if (i % 7 == 0) {
        line += " token=s3cr3t-" + std::to_string(i) + " after";
    }
    return line;
}

// What the log holds for that line.
std::string logged_chatter_line(const char* stream, int i) {
    std::string line = chatter_line(stream, i);
    const auto secret = line.find("token=");
    if (secret != std::string::npos) {
        line = line.substr(0, secret) + "<redacted> after";
    }
    // White space is normalised: single spaces between words, none at the end.
    std::string normalised;
    for (const char c : line) {
        if (c != ' ' || (!normalised.empty() && normalised.back() != ' ')) {
            normalised.push_back(c);
        }
    }
    if (normalised.ends_with(' ')) {
        normalised.pop_back();
    }
    return normalised;
}

const std::string LONG_LINE = std::string(70000, 'L');

// Writes both streams in uneven pieces, about 6 MB in all, so the log rotates
// on the way; standard output ends with a line longer than the limit,
// standard error with a line without a line feed.
KAVO_TEST_CHILD_ROLE(chatter) {
    for (int i = 0; i < CHATTER_LINES; ++i) {
        for (auto [stream, name] : {std::pair{stdout, "out"}, std::pair{stderr, "err"}}) {
            const std::string line = chatter_line(name, i) + "\n";
            const std::size_t half = line.size() / 2;
            std::fwrite(line.data(), 1, half, stream);
            std::fflush(stream);
            std::fwrite(line.data() + half, 1, line.size() - half, stream);
            std::fflush(stream);
        }
    }
    std::fputs((LONG_LINE + "\n").c_str(), stdout);
    std::fputs("err tail", stderr);
    return 0;
}

KAVO_TEST_CHILD_ROLE(quiet) {
    return 0;
}

// Writes one line and stays until it is ended.
KAVO_TEST_CHILD_ROLE(linger) {
    std::fputs("still here\n", stdout);
    std::fflush(stdout);
    for (;;) {
        std::this_thread::sleep_for(1s);
    }
}

using testing::child_options;

// The lines of the log from the oldest kept file to "core.log"; every file
// within the limit and ending with a whole line.
std::vector<std::string> read_log_lines(const testing::TempDir& dir) {
    std::vector<std::string> lines;
    for (const char* name : {"core.log.3", "core.log.2", "core.log.1", "core.log"}) {
        if (!fs::exists(dir.path() / name)) {
            continue;
        }
        const std::string text = testing::read_file(dir.path() / name);
        EXPECT_LE(text.size(), CORE_LOG_ROTATION_SIZE) << name;
        std::size_t start = 0;
        for (std::size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1) {
            lines.push_back(text.substr(start, at - start));
        }
        EXPECT_EQ(start, text.size()) << name << " ends inside a line";
    }
    return lines;
}

using testing::is_banner;

TEST(CoreLogPumpTest, PumpsBothStreamsLineByLine) {
    testing::TempDir dir;
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("chatter"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    auto pumps = start_core_log(dir.native(), child);
    ASSERT_TRUE(pumps) << pumps.error();
    EXPECT_FALSE(child.standard_output().has_value());
    EXPECT_FALSE(child.standard_error().has_value());
    ASSERT_TRUE(pumps->wait_for(PUMPS_END_BOUND));
    ASSERT_TRUE(child.wait());

    EXPECT_TRUE(fs::exists(dir.path() / "core.log.1")) << "the chatter fills more than one file";
    const auto lines = read_log_lines(dir);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(is_banner(lines[1])) << lines[1];
    std::vector<std::string> out;
    std::vector<std::string> err;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        (lines[i].starts_with("out ") || lines[i].starts_with("L") ? out : err).push_back(lines[i]);
    }
    std::vector<std::string> expected_out;
    std::vector<std::string> expected_err;
    for (int i = 0; i < CHATTER_LINES; ++i) {
        expected_out.push_back(logged_chatter_line("out", i));
        expected_err.push_back(logged_chatter_line("err", i));
    }
    expected_out.push_back(LONG_LINE.substr(0, TRUNCATED_TEXT_LEN) + std::string(TRUNCATED_MARKER));
    expected_err.push_back("err tail");
    // Every line whole and in its stream's order; a line mixed from both
    // streams would match neither list.
    ASSERT_EQ(out.size(), expected_out.size());
    ASSERT_EQ(err.size(), expected_err.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_TRUE(out[i] == expected_out[i]) << "stdout line " << i;
    }
    for (std::size_t i = 0; i < err.size(); ++i) {
        EXPECT_TRUE(err[i] == expected_err[i]) << "stderr line " << i;
    }
}

// The pumps end with the core's pipes, not before: the owner of the core can
// rely on a true answer only once the core has gone.
TEST(CoreLogPumpTest, PumpsEndOnlyWithTheCore) {
    testing::TempDir dir;
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("linger"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    auto pumps = start_core_log(dir.native(), child);
    ASSERT_TRUE(pumps) << pumps.error();
    // Once its line is in the log the child is running and the pumps read.
    const auto deadline = std::chrono::steady_clock::now() + PUMPS_END_BOUND;
    while (read_log_lines(dir).size() < 3) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the child's line never came";
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(pumps->wait_for(0ms));
    EXPECT_FALSE(pumps->wait_for(50ms));
    ASSERT_TRUE(child.terminate(1));
    ASSERT_TRUE(child.wait());
    ASSERT_TRUE(pumps->wait_for(PUMPS_END_BOUND));
    EXPECT_TRUE(pumps->wait_for(0ms));
    const auto lines = read_log_lines(dir);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "still here");
}

TEST(CoreLogPumpTest, OpenFailureLeavesThePipesWithTheCore) {
    testing::TempDir dir;
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("quiet"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    auto missing = start_core_log(dir.native("no-such-dir"), child);
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().starts_with(CORE_LOG_OPEN_FAILED)) << missing.error();
    EXPECT_TRUE(child.standard_output().has_value());
    EXPECT_TRUE(child.standard_error().has_value());
    ASSERT_TRUE(child.wait());
}

// When the second pump cannot get a thread, the first one ends without
// reading, so nothing of the core reaches the log.
TEST(CoreLogPumpTest, ThreadFailureStartsNoPump) {
    testing::TempDir dir;
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("chatter"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    std::vector<std::thread> threads;
    int calls = 0;
    const ThreadLauncher launch = [&](std::function<void()> body) -> Result<void> {
        if (++calls == 2) {
            return fail(std::string(CORE_LOG_THREAD_FAILED));
        }
        threads.emplace_back(std::move(body));
        return ok();
    };
    auto pumps = start_core_log(dir.native(), child, launch);
    ASSERT_FALSE(pumps);
    EXPECT_EQ(pumps.error(), CORE_LOG_THREAD_FAILED);
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(child.wait());
    const auto lines = read_log_lines(dir);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(is_banner(lines[1])) << lines[1];
}

}  // namespace
}  // namespace kavo
