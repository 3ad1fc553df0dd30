// The core log: rotation, the writer's limits and the pumps end to end with a
// real child writing both streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/core_log.h"
#include "core/log_line.h"
#include "core/log_rotation.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_child.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

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

// Writes both streams in uneven pieces; standard output ends with a line
// longer than the limit, standard error with a line without a line feed.
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

SpawnOptions child_options(const char* role) {
    SpawnOptions options;
    options.program = running_executable_path().value();
    options.environment.emplace_back(KAVO_NATIVE("KAVO_TEST_CHILD"), utf8_to_native(role));
    return options;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1) {
        lines.push_back(text.substr(start, at - start));
    }
    EXPECT_EQ(start, text.size()) << "the log ends inside a line";
    return lines;
}

// The text of the log from the oldest kept file to "core.log"; the chatter of
// one test run is more than one file takes.
std::string read_whole_log(const testing::TempDir& dir) {
    std::string text;
    for (const char* name : {"core.log.3", "core.log.2", "core.log.1", "core.log"}) {
        if (fs::exists(dir.path() / name)) {
            EXPECT_LE(fs::file_size(dir.path() / name), CORE_LOG_ROTATION_SIZE) << name;
            text += testing::read_file(dir.path() / name);
        }
    }
    return text;
}

const std::regex BANNER("--- KAVO core start [0-9]+ ---");

TEST(CoreLogTest, MessagesAndBanner) {
    EXPECT_EQ(CORE_LOG_PRUNE_FAILED, "Failed to prune core log: ");
    EXPECT_EQ(CORE_LOG_ROTATE_FAILED, "Failed to rotate core log: ");
    EXPECT_EQ(CORE_LOG_OPEN_FAILED, "Failed to open core log: ");
    EXPECT_EQ(CORE_LOG_WRITE_FAILED, "Failed to write core log: ");
    EXPECT_EQ(CORE_LOG_UNAVAILABLE, "Core log is unavailable");
    EXPECT_EQ(core_log_banner(1765432100123), "\n--- KAVO core start 1765432100123 ---");
    EXPECT_EQ(TRUNCATED_MARKER, "<truncated>");
}

TEST(CoreLogTest, PumpsBothStreamsLineByLine) {
    testing::TempDir dir;
    auto child = ChildProcess::spawn(child_options("chatter"));
    ASSERT_TRUE(child) << child.error().text;
    auto started = start_observed_core_log(dir.native(), *child);
    ASSERT_TRUE(started) << started.error();
    EXPECT_FALSE(child->standard_output().has_value());
    EXPECT_FALSE(child->standard_error().has_value());
    (*started)->wait();
    ASSERT_TRUE(child->wait());

    const auto lines = split_lines(read_whole_log(dir));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(std::regex_match(lines[1], BANNER)) << lines[1];
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

TEST(CoreLogTest, FullLogShiftsOlderFilesAtStart) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "core.log", std::string(CORE_LOG_ROTATION_SIZE, 'x'));
    testing::write_file(dir.path() / "core.log.1", "one");
    testing::write_file(dir.path() / "core.log.2", "two");
    testing::write_file(dir.path() / "core.log.3", "three");
    auto child = ChildProcess::spawn(child_options("quiet"));
    ASSERT_TRUE(child) << child.error().text;
    auto started = start_observed_core_log(dir.native(), *child);
    ASSERT_TRUE(started) << started.error();
    (*started)->wait();
    ASSERT_TRUE(child->wait());
    EXPECT_EQ(fs::file_size(dir.path() / "core.log.1"), CORE_LOG_ROTATION_SIZE);
    EXPECT_EQ(testing::read_file(dir.path() / "core.log.2"), "one");
    EXPECT_EQ(testing::read_file(dir.path() / "core.log.3"), "two");
    EXPECT_FALSE(fs::exists(dir.path() / "core.log.4"));
    const auto lines = split_lines(testing::read_file(dir.path() / "core.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(std::regex_match(lines[1], BANNER)) << lines[1];
}

TEST(CoreLogTest, LogBelowTheLimitIsContinued) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "core.log", std::string(CORE_LOG_ROTATION_SIZE - 1, 'x'));
    ASSERT_TRUE(rotate_core_log(dir.native()));
    EXPECT_FALSE(fs::exists(dir.path() / "core.log.1"));
    // No log at all is not an error either.
    testing::TempDir empty;
    ASSERT_TRUE(rotate_core_log(empty.native()));
}

CoreLogWriter open_writer(const testing::TempDir& dir) {
    CoreLogWriter writer;
    writer.log_dir = dir.native();
    auto file = AppendFile::open(dir.native("core.log"));
    EXPECT_TRUE(file) << file.error().text;
    if (file) {
        writer.file = std::move(file).value();
    }
    return writer;
}

TEST(CoreLogWriterTest, RotatesOnlyBeyondTheLimit) {
    testing::TempDir dir;
    CoreLogWriter writer = open_writer(dir);
    ASSERT_TRUE(write_core_log_line(writer, "12345678"));
    EXPECT_EQ(writer.written, 9u);
    // This line and its line feed bring the file to exactly the limit.
    ASSERT_TRUE(write_core_log_line(writer, std::string(CORE_LOG_ROTATION_SIZE - 10, 'y')));
    EXPECT_EQ(writer.written, CORE_LOG_ROTATION_SIZE);
    EXPECT_FALSE(fs::exists(dir.path() / "core.log.1"));
    EXPECT_EQ(fs::file_size(dir.path() / "core.log"), CORE_LOG_ROTATION_SIZE);
    // One more byte does not fit.
    ASSERT_TRUE(write_core_log_line(writer, ""));
    EXPECT_EQ(writer.written, 1u);
    EXPECT_EQ(fs::file_size(dir.path() / "core.log.1"), CORE_LOG_ROTATION_SIZE);
    EXPECT_EQ(testing::read_file(dir.path() / "core.log"), "\n");
    // A fresh file takes a line longer than the limit whole.
    testing::TempDir other;
    CoreLogWriter big = open_writer(other);
    ASSERT_TRUE(write_core_log_line(big, std::string(CORE_LOG_ROTATION_SIZE + 5, 'z')));
    EXPECT_FALSE(fs::exists(other.path() / "core.log.1"));
}

// A line that would take the file beyond the limit moves the file aside even
// when it has not reached the limit yet.
TEST(CoreLogWriterTest, CrossingFromBelowShiftsTheFile) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "core.log", std::string(CORE_LOG_ROTATION_SIZE - 10, 'x'));
    CoreLogWriter writer = open_writer(dir);
    writer.written = CORE_LOG_ROTATION_SIZE - 10;
    ASSERT_TRUE(write_core_log_line(writer, std::string(19, 'n')));
    EXPECT_EQ(fs::file_size(dir.path() / "core.log.1"), CORE_LOG_ROTATION_SIZE - 10);
    EXPECT_EQ(testing::read_file(dir.path() / "core.log"), std::string(19, 'n') + "\n");
}

TEST(CoreLogWriterTest, FailedRotationLeavesNoFileAndIsRetried) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "core.log", std::string(CORE_LOG_ROTATION_SIZE, 'x'));
    // A directory where the oldest file must be deleted makes the rotation fail.
    fs::create_directories(dir.path() / "core.log.3" / "inside");
    CoreLogWriter writer = open_writer(dir);
    writer.written = CORE_LOG_ROTATION_SIZE;
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto written = write_core_log_line(writer, "lost");
        ASSERT_FALSE(written);
        EXPECT_TRUE(written.error().starts_with(CORE_LOG_PRUNE_FAILED)) << written.error();
        EXPECT_TRUE(written.error().ends_with(")")) << written.error();
        EXPECT_FALSE(writer.file.has_value());
        EXPECT_EQ(writer.written, CORE_LOG_ROTATION_SIZE);
    }
    fs::remove_all(dir.path() / "core.log.3");
    ASSERT_TRUE(write_core_log_line(writer, "kept"));
    EXPECT_TRUE(writer.file.has_value());
    EXPECT_EQ(writer.written, 5u);
    EXPECT_EQ(testing::read_file(dir.path() / "core.log"), "kept\n");
    EXPECT_EQ(fs::file_size(dir.path() / "core.log.1"), CORE_LOG_ROTATION_SIZE);

    CoreLogWriter absent;
    absent.log_dir = dir.native();
    auto unavailable = write_core_log_line(absent, "x");
    ASSERT_FALSE(unavailable);
    EXPECT_EQ(unavailable.error(), CORE_LOG_UNAVAILABLE);
}

TEST(CoreLogTest, StartFailuresLeaveThePipesWithTheCore) {
    testing::TempDir dir;
    auto child = ChildProcess::spawn(child_options("quiet"));
    ASSERT_TRUE(child) << child.error().text;
    auto missing = start_core_log(dir.native("no-such-dir"), *child);
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().starts_with(CORE_LOG_OPEN_FAILED)) << missing.error();
    EXPECT_TRUE(child->standard_output().has_value());
    EXPECT_TRUE(child->standard_error().has_value());
    ASSERT_TRUE(child->wait());
}

// When the second pump cannot get a thread, the first one ends without
// reading, so nothing of the core reaches the log.
TEST(CoreLogTest, ThreadFailureStartsNoPump) {
    testing::TempDir dir;
    auto child = ChildProcess::spawn(child_options("chatter"));
    ASSERT_TRUE(child) << child.error().text;
    std::vector<std::thread> threads;
    int calls = 0;
    const ThreadLauncher launch = [&](std::function<void()> body) -> Result<void> {
        if (++calls == 2) {
            return fail(std::string(CORE_LOG_THREAD_FAILED));
        }
        threads.emplace_back(std::move(body));
        return ok();
    };
    auto started = start_observed_core_log(dir.native(), *child, launch);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), CORE_LOG_THREAD_FAILED);
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(child->wait());
    const auto lines = split_lines(testing::read_file(dir.path() / "core.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1], BANNER)) << lines[1];
}

}  // namespace
}  // namespace kavo
