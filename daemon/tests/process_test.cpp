// Child processes with captured output, and the command-line quoting rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_guard.h"
#include "platform/command_line.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_child.h"
#include "test_support.h"

namespace kavo {
namespace {

KAVO_TEST_CHILD_ROLE(print_args) {
    for (int i = 1; i < argc; ++i) {
        std::fputs(argv[i], stdout);
        std::fputc('|', stdout);
    }
    std::fflush(stdout);
    std::fputs(std::filesystem::current_path().string().c_str(), stderr);
    return 7;
}

KAVO_TEST_CHILD_ROLE(sleep_forever) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// Says that it runs, then sleeps until it is ended.
KAVO_TEST_CHILD_ROLE(greet_then_sleep) {
    std::fputs("up\n", stdout);
    std::fflush(stdout);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

std::string read_all(PipeReader& reader) {
    std::string all;
    char buffer[4096];
    for (;;) {
        auto got = reader.read(buffer);
        if (!got) {
            EXPECT_EQ(got.error().kind, OsErrorKind::broken_pipe) << got.error().text;
            return all;
        }
        if (*got == 0) {
            return all;
        }
        all.append(buffer, *got);
    }
}

using testing::child_options;

TEST(CommandLineTest, QuotesTheArgumentsAndAlwaysTheProgram) {
    // The quoting rules themselves are QuotedArgumentTest's table.
    EXPECT_EQ(build_command_line<wchar_t>(L"C:\\Program Files\\k\\kavo_core.exe",
                                          {L"-d", L"C:\\Data dir\\"}),
              L"\"C:\\Program Files\\k\\kavo_core.exe\" -d \"C:\\Data dir\\\\\"");
    EXPECT_EQ(build_command_line<char>("p", {}), "\"p\"");
}

TEST(ChildProcessTest, PassesArgumentsAndWorkingDirectoryAndCapturesOutput) {
    testing::TempDir dir;
    SpawnOptions options = child_options("print_args");
    const std::vector<std::string> arguments = {
        "plain", "with space", "", "quote\"inside", "trail\\", "tab\there", "back\\\\\"q", "x y\\",
    };
    for (const auto& argument : arguments) {
        options.arguments.push_back(utf8_to_native(argument));
    }
    options.working_directory = dir.native();
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(options);
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    ASSERT_TRUE(child.standard_output().has_value());
    ASSERT_TRUE(child.standard_error().has_value());
    std::string expected;
    for (const auto& argument : arguments) {
        expected += argument + "|";
    }
    EXPECT_EQ(read_all(*child.standard_output()), expected);
    const std::string cwd = read_all(*child.standard_error());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(cwd), dir.path())) << cwd;
    auto code = child.wait();
    ASSERT_TRUE(code) << code.error().text;
    EXPECT_EQ(*code, 7u);
    auto polled = child.poll();
    ASSERT_TRUE(polled);
    EXPECT_EQ(polled->value_or(0), 7u);
}

TEST(ChildProcessTest, PollTerminateAndEndOfOutput) {
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("sleep_forever"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    auto running = child.poll();
    ASSERT_TRUE(running) << running.error().text;
    EXPECT_FALSE(running->has_value());
    ASSERT_TRUE(child.terminate(1));
    auto code = child.wait();
    ASSERT_TRUE(code) << code.error().text;
    EXPECT_NE(*code, 0u);
    // With the child gone its pipes report the end, not a hang.
    EXPECT_EQ(read_all(*child.standard_output()), "");
}

// A process watched by its own handle: running, then ended (before its
// parent has reaped it), and an identifier that names no process.
TEST(ProcessWatchTest, SeesAChildEndAndNoProcessWhereThereIsNone) {
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("sleep_forever"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    auto watch = ProcessWatch::open(child.id());
    ASSERT_TRUE(watch) << watch.error().text;
    const auto running = watch->has_ended();
    ASSERT_TRUE(running) << running.error().text;
    EXPECT_FALSE(*running);
    ASSERT_TRUE(child.terminate(1));
    EXPECT_TRUE(testing::eventually([&] {
        const auto ended = watch->has_ended();
        return ended && *ended;
    }));
    ASSERT_TRUE(child.wait());
    // Far above any identifier either system hands out.
    const auto none = ProcessWatch::open(2147483629u);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, OsErrorKind::not_found) << none.error().text;
}

// A stop request, not a kill: the child's status shows SIGTERM, where the
// kill of terminate() shows SIGKILL. Windows has no such request.
TEST(ChildProcessTest, InterruptAsksTheChildToEnd) {
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(child_options("sleep_forever"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    auto interrupted = child.interrupt();
    if (running_under_wine()) {
        EXPECT_FALSE(interrupted) << "refused where there is no such request";
        return;
    }
    ASSERT_TRUE(interrupted) << interrupted.error().text;
    auto code = child.wait();
    ASSERT_TRUE(code) << code.error().text;
    EXPECT_EQ(*code, 128u + 15u);
    EXPECT_TRUE(child.interrupt()) << "an ended child needs nothing more";
}

// The guard a test keeps its children in ends a child that still runs: its
// output pipe then reports the end instead of blocking the reader. The child
// is seen running first: Wine may fail to end a process that it is still
// starting, which is no case of ours.
TEST(ChildProcessTest, GuardEndsARunningChild) {
    std::shared_ptr<PipeReader> reader;
    {
        testing::ChildGuard children;
        auto spawned = ChildProcess::spawn(child_options("greet_then_sleep"));
        ASSERT_TRUE(spawned) << spawned.error().text;
        ChildProcess& child = children.add(std::move(spawned).value());
        reader = std::make_shared<PipeReader>(std::move(*child.standard_output()));
        child.standard_output().reset();
        const auto greeting = testing::run_with_deadline<std::string>([reader] {
            std::string seen;
            char buffer[16];
            while (seen.find('\n') == std::string::npos) {
                auto got = reader->read(buffer);
                if (!got || *got == 0) {
                    break;
                }
                seen.append(buffer, *got);
            }
            return seen;
        });
        ASSERT_TRUE(greeting.has_value()) << "the child never said that it runs";
        // Windows' text mode writes the line end as CR LF.
        ASSERT_TRUE(greeting->starts_with("up")) << *greeting;
    }
    const auto rest =
        testing::run_with_deadline<std::string>([reader] { return read_all(*reader); });
    ASSERT_TRUE(rest.has_value()) << "the guard left the child running";
    EXPECT_EQ(*rest, "");
}

TEST(ChildProcessTest, MissingProgramFails) {
    testing::TempDir dir;
    SpawnOptions options;
    options.program = dir.native("missing-program.exe");
    auto child = ChildProcess::spawn(options);
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error().kind, OsErrorKind::not_found) << child.error().text;
}

// A child started while another spawn is under way must not hold on to the
// other child's pipe: the reader would then never see the end of it.
TEST(ChildProcessTest, ChildrenInheritOnlyTheirOwnPipes) {
    // Declared before the thread, so that the thread is joined before the
    // guard ends whatever sleepers it started.
    testing::ChildGuard sleepers;
    testing::ChildGuard children;
    std::jthread spawner([&] {
        for (int i = 0; i < 6; ++i) {
            auto sleeper = ChildProcess::spawn(child_options("sleep_forever"));
            if (sleeper) {
                sleepers.add(std::move(sleeper).value());
            }
        }
    });
    for (int i = 0; i < 12; ++i) {
        SpawnOptions options = child_options("print_args");
        options.arguments.push_back(KAVO_NATIVE("ok"));
        auto spawned = ChildProcess::spawn(options);
        ASSERT_TRUE(spawned) << spawned.error().text;
        ChildProcess& child = children.add(std::move(spawned).value());
        EXPECT_EQ(read_all(*child.standard_output()), "ok|");
        ASSERT_TRUE(child.wait());
    }
    spawner.join();
    EXPECT_EQ(sleepers.size(), 6u);
}

}  // namespace
}  // namespace kavo
