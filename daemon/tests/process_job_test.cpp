// Jobs that end a child with everything it started, children that write to
// our own streams, and process identifiers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "child_guard.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_child.h"
#include "test_support.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// Long enough for any test; a sleeper a failed test leaves behind still goes.
KAVO_TEST_CHILD_ROLE(job_sleeper) {
    std::this_thread::sleep_for(5min);
    return 0;
}

// Its first act: starts a sleeper that writes to the same streams, reports
// the sleeper's id and stays.
KAVO_TEST_CHILD_ROLE(job_parent) {
    SpawnOptions options = testing::child_options("job_sleeper");
    options.capture_output = false;
    auto sleeper = ChildProcess::spawn(options);
    if (!sleeper) {
        return 4;
    }
    std::printf("%u\n", sleeper->id());
    std::fflush(stdout);
    std::this_thread::sleep_for(5min);
    return 0;
}

// Starts a sleeper in a job of its own, reports the sleeper's id and ends at
// once, before anything else: no destructor, no close of the job.
KAVO_TEST_CHILD_ROLE(job_owner) {
    auto job = ProcessJob::create();
    if (!job || !job->set_kill_on_close()) {
        return 3;
    }
    SpawnOptions options = testing::child_options("job_sleeper");
    options.capture_output = false;
    options.job = &job.value();
    auto sleeper = ChildProcess::spawn(options);
    if (!sleeper) {
        return 4;
    }
    std::printf("%u\n", sleeper->id());
    std::fflush(stdout);
    std::_Exit(0);
}

KAVO_TEST_CHILD_ROLE(job_echo) {
    std::printf("inherited %d\n", argc);
    std::fflush(stdout);
    return 0;
}

SpawnOptions role(const char* name) {
    return testing::child_options(name);
}

// Reads `reader` to its end; nullopt when it does not end in time.
std::optional<std::string> read_to_end(PipeReader reader) {
    auto shared = std::make_shared<PipeReader>(std::move(reader));
    return testing::run_with_deadline<std::string>([shared] {
        std::string all;
        char buffer[256];
        for (;;) {
            auto got = shared->read(buffer);
            if (!got || *got == 0) {
                return all;
            }
            all.append(buffer, *got);
        }
    });
}

bool ends_in_time(std::uint32_t id) {
    const auto deadline = std::chrono::steady_clock::now() + testing::HANG_LIMIT;
    while (process_is_running(id)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool job_holds(const ProcessJob& job, std::uint32_t id) {
    auto held = job.holds(id);
    EXPECT_TRUE(held) << held.error().text;
    return held && *held;
}

// Reads the first line a child writes: the id it reports.
std::optional<std::uint32_t> reported_id(ChildProcess& child) {
    std::string line;
    char c = 0;
    while (line.find('\n') == std::string::npos) {
        auto got = child.standard_output()->read(std::span<char>(&c, 1));
        if (!got || *got != 1) {
            return std::nullopt;
        }
        line.push_back(c);
    }
    return static_cast<std::uint32_t>(std::stoul(line));
}

// The child's first act is to start a sleeper. Started in the job, the
// child cannot start it outside; both end with the job, whichever way it is
// ended.
TEST(ProcessJobTest, WhatAChildStartsAtOnceIsInItsJobAndEndsWithIt) {
    for (const bool wait_for_empty : {true, false}) {
        SCOPED_TRACE(wait_for_empty ? "ended and waited for" : "closed");
        testing::ChildGuard children;
        auto job = ProcessJob::create();
        ASSERT_TRUE(job) << job.error().text;
        auto limited = job->set_kill_on_close();
        ASSERT_TRUE(limited) << limited.error().text;
        SpawnOptions options = role("job_parent");
        options.job = &job.value();
        auto spawned = ChildProcess::spawn(options);
        ASSERT_TRUE(spawned) << spawned.error().text;
        ChildProcess& child = children.add(std::move(spawned).value());

        const auto sleeper = reported_id(child);
        ASSERT_TRUE(sleeper) << "the child ended before its report";
        EXPECT_TRUE(process_is_running(*sleeper));
        EXPECT_TRUE(job_holds(*job, child.id()));
        EXPECT_TRUE(job_holds(*job, *sleeper)) << "the sleeper started outside the job";
        EXPECT_FALSE(job_holds(*job, current_process_id()));

        if (wait_for_empty) {
            EXPECT_TRUE(job->end_all(testing::HANG_LIMIT));
            // Gone when the wait returns, not some time later.
            EXPECT_FALSE(process_is_running(*sleeper)) << "the job was not empty";
            EXPECT_FALSE(process_is_running(child.id()));
            EXPECT_FALSE(job_holds(*job, *sleeper));
            job->close();
        } else {
            job->close();
            EXPECT_TRUE(ends_in_time(child.id()));
            EXPECT_TRUE(ends_in_time(*sleeper)) << "the sleeper outlived its job";
        }
        // Nobody holds the output pipe any more.
        auto output = std::move(*child.standard_output());
        child.standard_output().reset();
        EXPECT_TRUE(read_to_end(std::move(output)).has_value());
        // A closed job takes nothing more in and answers nothing.
        EXPECT_FALSE(job->set_kill_on_close());
        EXPECT_FALSE(ChildProcess::spawn(options));
        EXPECT_FALSE(job->holds(child.id()));
        EXPECT_FALSE(job->end_all(0ms));
    }
}

// Its owner ends the moment the spawn returns, without closing anything: a
// child that was outside the job for any moment, or became part of it only
// after the spawn, would be left behind.
TEST(ProcessJobTest, AChildStartedInAJobEndsWithAnOwnerThatEndsRightAfterTheSpawn) {
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(role("job_owner"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& owner = children.add(std::move(spawned).value());
    const auto sleeper = reported_id(owner);
    ASSERT_TRUE(sleeper) << "the owner could not start its sleeper";
    const auto code = owner.wait();
    ASSERT_TRUE(code) << code.error().text;
    EXPECT_EQ(*code, 0u);
    EXPECT_TRUE(ends_in_time(*sleeper)) << "the sleeper outlived its owner";
}

TEST(ChildProcessTest, WritesToOurStreamsWhenNotCaptured) {
    SpawnOptions options = role("job_echo");
    options.arguments = {NativeString(KAVO_NATIVE("a")), NativeString(KAVO_NATIVE("b"))};
    options.capture_output = false;
    testing::ChildGuard children;
    ::testing::internal::CaptureStdout();
    auto spawned = ChildProcess::spawn(options);
    std::optional<std::uint32_t> code;
    if (spawned) {
        ChildProcess& child = children.add(std::move(spawned).value());
        EXPECT_FALSE(child.standard_output().has_value());
        EXPECT_FALSE(child.standard_error().has_value());
        auto waited = child.wait();
        if (waited) {
            code = *waited;
        }
    }
    const std::string captured = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(spawned) << spawned.error().text;
    EXPECT_EQ(code, 0u);
    EXPECT_NE(captured.find("inherited 3"), std::string::npos) << captured;
}

TEST(ProcessInfoTest, IdentifiesProcessesAndTheirEnd) {
    EXPECT_TRUE(process_is_running(current_process_id()));
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(role("job_sleeper"));
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());
    EXPECT_NE(child.id(), current_process_id());
    EXPECT_TRUE(process_is_running(child.id()));
    ASSERT_TRUE(child.terminate(1));
    ASSERT_TRUE(child.wait());
    // Ended, even while not yet reaped.
    EXPECT_FALSE(process_is_running(child.id()));
}

}  // namespace
}  // namespace kavo
