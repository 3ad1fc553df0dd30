// The core supervisor with the real stand-in core (found beside this test
// executable), under a private ProgramData, on a real io_context and pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "async/blocking_pool.h"
#include "core/core_slot.h"
#include "core/exit_status.h"
#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_child.h"
#include "test_support.h"

namespace kavo {
namespace {

using testing::eventually;
using testing::lines_of;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string LEASE = "0123456789abcdef0123456789abcdef";
const std::string DEFERRED_LINE = std::string(DEFERRED_RUNTIME_CLEANUP) + "\n";

// The runtime directory the slot records, read through the slot's own moves.
std::optional<NativeString> recorded_dir(CoreSlot::Access& access) {
    CoreRemains remains = access.take_remains();
    std::optional<NativeString> dir = remains.runtime_dir;
    access.record(std::move(remains));
    return dir;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using testing::as_optional;

// The start and the stop as a request runs them: under the slot's lock.
asio::awaitable<Result<void>> locked_start(std::shared_ptr<CoreSlot> slot, NativeString core_dir,
                                           std::string lease_id, CoreStartHooks hooks) {
    CoreSlot::Access access = co_await slot->lock();
    co_return co_await start_core(access, std::move(core_dir), std::move(lease_id),
                                  std::move(hooks));
}

asio::awaitable<bool> locked_stop(std::shared_ptr<CoreSlot> slot) {
    CoreSlot::Access access = co_await slot->lock();
    co_return co_await stop_and_settle(access);
}

// A private ProgramData, a core directory with the runtime files, a slot on
// a fake clock, and the loop and pool the slot's operations run on.
class SupervisorTest : public ::testing::Test, public testing::Sandbox {
  protected:
    SupervisorTest() : Sandbox(true), slot_(CoreSlot::create(pool_, clock_)) {}

    fs::path runtime_dir() const { return runtime_root() / LEASE; }

    void grant_lease(MonotonicInstant expires_at,
                     std::optional<NativeString> runtime_dir = std::nullopt) {
        auto access = slot_->try_lock();
        ASSERT_TRUE(access.has_value());
        // Granted on the clock at the instant that makes it expire then.
        const MonotonicInstant now = clock_.now();
        clock_.set(expires_at - LEASE_DURATION);
        access->grant(LEASE);
        clock_.set(now);
        access->record({std::nullopt, std::move(runtime_dir)});
    }

    // Back to an empty slot through its own moves: what it records leaves,
    // and a completed stop clears the lease and the flag.
    void clear_slot() {
        auto access = state();
        const CoreRemains gone = access.take_remains();
        StopOutcome done;
        done.stopped = true;
        access.settle(std::move(done));
    }

    // The slot, between operations (nobody else holds it then).
    CoreSlot::Access state() { return std::move(slot_->try_lock()).value(); }

    template <class T>
    T run(asio::awaitable<T> task) {
        auto result = asio::co_spawn(io_, as_optional(std::move(task)), asio::use_future);
        io_.restart();
        io_.run_for(testing::HANG_LIMIT);
        // The future is set from a thread of its own, just after the loop
        // ran the last handler.
        if (result.wait_for(testing::HANG_LIMIT) != std::future_status::ready) {
            ADD_FAILURE() << "the operation did not finish";
            std::abort();
        }
        return std::move(result.get()).value();
    }

    Result<void> start(CoreStartHooks hooks = {}) {
        return run(locked_start(slot_, core_dir().native(), LEASE, std::move(hooks)));
    }
    // A start whose watch is over at once, for tests about what comes after.
    Result<void> start_quickly() {
        CoreStartHooks hooks;
        hooks.startup_grace = 0ms;
        return start(std::move(hooks));
    }
    bool stop() { return run(locked_stop(slot_)); }

    // The ids the stand-in wrote into its pid file ("core", "grandchild").
    std::map<std::string, std::uint32_t> read_pids(std::size_t expected) {
        std::map<std::string, std::uint32_t> pids;
        EXPECT_TRUE(eventually([&] {
            pids = testing::pids_in(runtime_dir() / "pids");
            return pids.size() >= expected;
        })) << "the stand-in wrote no pid file";
        return pids;
    }

    asio::io_context io_;
    BlockingPool pool_;
    testing::FakeClock clock_;
    std::shared_ptr<CoreSlot> slot_;
};

TEST(ExitStatusTextTest, DecimalUntilBit31ThenLowercaseHex) {
    const struct {
        std::uint32_t code;
        const char* text;
    } cases[] = {
        {0, "exit code: 0"},
        {1, "exit code: 1"},
        {259, "exit code: 259"},
        {0x7fffffffu, "exit code: 2147483647"},
        {0x80000000u, "exit code: 0x80000000"},
        {3221225477u, "exit code: 0xc0000005"},
        {0xc000013au, "exit code: 0xc000013a"},
        {0xffffffffu, "exit code: 0xffffffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(core_exit_status_text(c.code), c.text) << c.code;
    }
}

TEST(LocateCoreTest, BesideTheGivenExecutable) {
    testing::TempDir dir;
    const fs::path service = dir.path() / "service";
    const fs::path core = service / fs::path(CORE_EXECUTABLE_NAME);
    const NativeString daemon = (service / "kavo-daemon.exe").native();
    fs::create_directories(service);

    auto missing = locate_core_executable(daemon);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), CORE_BINARY_UNAVAILABLE);

    fs::create_directories(core);
    auto directory = locate_core_executable(daemon);
    ASSERT_FALSE(directory);
    EXPECT_EQ(directory.error(), CORE_BINARY_UNAVAILABLE);

    fs::remove(core);
    testing::write_file(core, "core");
    auto found = locate_core_executable(daemon);
    ASSERT_TRUE(found) << found.error();
    EXPECT_EQ(*found, core.native());

    auto no_directory = locate_core_executable(NativeString(KAVO_NATIVE("kavo-daemon.exe")));
    ASSERT_FALSE(no_directory);
    EXPECT_EQ(no_directory.error(), RESOLVE_SERVICE_DIRECTORY_FAILED);
}

TEST(LocateCoreTest, FollowsLinksToTheirTarget) {
    if (running_under_wine()) {
        GTEST_SKIP() << "Wine cannot make symbolic links";
    }
    testing::TempDir dir;
    const NativeString daemon = (dir.path() / "kavo-daemon.exe").native();
    const fs::path core = dir.path() / fs::path(CORE_EXECUTABLE_NAME);
    std::error_code error;
    fs::create_symlink(dir.path() / "nowhere", core, error);
    if (error) {
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    }
    EXPECT_FALSE(locate_core_executable(daemon)) << "a dangling link";
    fs::create_directories(dir.path() / "real-dir");
    fs::remove(core);
    fs::create_directory_symlink(dir.path() / "real-dir", core);
    EXPECT_FALSE(locate_core_executable(daemon)) << "a link to a directory";
    testing::write_file(dir.path() / "real-file", "core");
    fs::remove(core);
    fs::create_symlink(dir.path() / "real-file", core);
    EXPECT_TRUE(locate_core_executable(daemon)) << "a link to a file";
}

TEST(LocateCoreTest, FindsTheStandInBesideTheTests) {
    auto found = locate_core_executable();
    ASSERT_TRUE(found) << found.error();
    EXPECT_EQ(fs::path(*found).filename(), fs::path(CORE_EXECUTABLE_NAME));
}

KAVO_TEST_CHILD_ROLE(supervised_sleeper) {
    std::this_thread::sleep_for(5min);
    return 0;
}

SpawnOptions sleeper_options() {
    return testing::child_options("supervised_sleeper");
}

// When the job cannot be had, no core is started: the stand-in core, whose
// first act is to leave a marker, leaves none.
TEST(BindCoreToJobTest, WithoutAJobNoCoreStarts) {
    testing::TempDir dir;
    SpawnOptions missing;
    missing.program = dir.native(fs::path(CORE_EXECUTABLE_NAME));
    const auto spawn_error = ChildProcess::spawn(missing);
    ASSERT_FALSE(spawn_error);
    auto passed = bind_core_to_job(missing);
    ASSERT_FALSE(passed);
    EXPECT_EQ(passed.error(), spawn_error.error().text) << "a spawn error passes unchanged";

    // Each job is refused only after a core started before it had every
    // chance to run.
    const fs::path marker = dir.path() / "ran";
    testing::write_file(dir.path() / "config.yaml", "marker: ran\npid_file: pids\n");
    const auto after_a_chance = [marker](std::function<OsResult<ProcessJob>()> make) {
        return [marker, make] {
            static_cast<void>(testing::stays_absent(marker));
            return make();
        };
    };
    const JobFactory no_job =
        after_a_chance([] { return OsResult<ProcessJob>(fail(os_error(5))); });
    const JobFactory closed_job = after_a_chance([] {
        auto job = ProcessJob::create();
        job->close();
        return job;
    });
    const struct {
        const char* name;
        JobFactory factory;
        std::string_view error;
    } cases[] = {
        {"job not created", no_job, CREATE_CORE_JOB_FAILED},
        {"job cannot take its limit", closed_job, BIND_CORE_LIFECYCLE_FAILED},
    };
    for (const auto& c : cases) {
        auto launched = launch_core(locate_core_executable().value(), dir.native(), c.factory);
        ASSERT_FALSE(launched) << c.name;
        EXPECT_EQ(launched.error(), c.error) << c.name;
        EXPECT_FALSE(fs::exists(marker)) << c.name << ": a core ran without a job";
        EXPECT_FALSE(fs::exists(dir.path() / "pids")) << c.name;
    }
}

TEST(BindCoreToJobTest, ACoreBoundToAJobEndsWithItsOwner) {
    std::uint32_t id = 0;
    {
        auto bound = bind_core_to_job(sleeper_options());
        ASSERT_TRUE(bound) << bound.error();
        id = bound->process().id();
        EXPECT_TRUE(process_is_running(id));
        auto polled = bound->poll();
        ASSERT_TRUE(polled) << polled.error().text;
        EXPECT_FALSE(polled->has_value());
        auto held = bound->job().holds(id);
        ASSERT_TRUE(held) << held.error().text;
        EXPECT_TRUE(*held);
    }
    EXPECT_FALSE(process_is_running(id)) << "destroying the core must end it";
}

TEST_F(SupervisorTest, StartsTheCoreAndLogsBothStreamsRedacted) {
    write_core_dir(
        "mode: rule\n"
        "stdout: token=planted-credential next\n"
        "stderr: Authorization: Bearer planted-credential plain\n"
        "stdout: see https://example.invalid/sub?key=planted-credential\n"
        "pid_file: pids\n");
    grant_lease(clock_.now() + 30s);
    auto started = start();
    ASSERT_TRUE(started) << started.error();
    {
        auto access = state();
        ASSERT_NE(access.core(), nullptr);
        auto polled = access.core()->poll();
        ASSERT_TRUE(polled) << polled.error().text;
        EXPECT_FALSE(polled->has_value()) << "the core should still run";
        ASSERT_TRUE(access.lease().record().has_value());
        EXPECT_EQ(recorded_dir(access), runtime_dir().native());
        EXPECT_FALSE(access.lease().stop_pending());
    }
    const auto pid = read_pids(1).at("core");
    const fs::path log = runtime_dir() / "core.log";
    std::vector<std::string> lines;
    EXPECT_TRUE(eventually([&] {
        lines = lines_of(testing::read_file(log));
        return lines.size() >= 6;
    })) << testing::read_file(log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");
    EXPECT_TRUE(lines[1].starts_with("--- KAVO core start ")) << lines[1];
    EXPECT_TRUE(contains(lines, "stand-in core " + std::to_string(pid) + " running"));
    EXPECT_TRUE(contains(lines, "<redacted> next"));
    EXPECT_TRUE(contains(lines, "<redacted> <redacted> <redacted> plain"));
    EXPECT_TRUE(contains(lines, "see <redacted-url>"));
    EXPECT_EQ(testing::read_file(log).find("planted-credential"), std::string::npos);

    EXPECT_TRUE(stop());
    EXPECT_FALSE(process_is_running(pid));
    EXPECT_FALSE(fs::exists(runtime_dir()));
    auto access = state();
    EXPECT_EQ(access.core(), nullptr);
    EXPECT_FALSE(access.lease().record().has_value());
    EXPECT_FALSE(access.lease().stop_pending());
}

TEST_F(SupervisorTest, ACoreThatExitsDuringStartupFailsTheStart) {
    struct Case {
        std::uint32_t code;
        std::string status;
    };
    std::vector<Case> cases = {{0, "exit code: 0"}, {3, "exit code: 3"}};
#if defined(_WIN32)
    // Only Windows carries a whole 32-bit exit code.
    cases.push_back({3221225477u, "exit code: 0xc0000005"});
#endif
    for (const auto& c : cases) {
        write_core_dir("exit_after_ms: 0\nexit_code: " + std::to_string(c.code) + "\n");
        grant_lease(clock_.now() + 30s);
        // A watch long enough that even a slow machine sees the exit in it.
        CoreStartHooks hooks;
        hooks.startup_grace = 3s;
        auto started = start(std::move(hooks));
        ASSERT_FALSE(started) << c.status;
        EXPECT_EQ(started.error(), std::string(CORE_EXITED_DURING_STARTUP) + c.status);
        EXPECT_FALSE(fs::exists(runtime_dir())) << c.status;
        auto access = state();
        EXPECT_EQ(access.core(), nullptr);
        EXPECT_FALSE(access.lease().record().has_value()) << "a failed start ends the lease";
        EXPECT_FALSE(access.lease().stop_pending());
    }
}

TEST_F(SupervisorTest, StopOfAnEndedCoreRemovesItsDirectory) {
    write_core_dir("exit_after_ms: 300\nexit_code: 5\n");
    grant_lease(clock_.now() + 30s);
    ASSERT_TRUE(start_quickly());
    ASSERT_TRUE(eventually([&] {
        auto polled = state().core()->poll();
        return polled && polled->has_value();
    }));
    EXPECT_EQ(state().core()->poll()->value(), 5u) << "the core ended by itself";
    ::testing::internal::CaptureStderr();
    const bool stopped = stop();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(fs::exists(runtime_dir()));
    EXPECT_FALSE(state().lease().record().has_value());
}

TEST_F(SupervisorTest, ASecondStartKeepsTheRunningCore) {
    write_core_dir("pid_file: pids\n");
    grant_lease(clock_.now() + 30s);
    ASSERT_TRUE(start_quickly());
    const std::uint32_t first = state().core()->process().id();
    EXPECT_EQ(read_pids(1).at("core"), first);
    auto again = start_quickly();
    ASSERT_TRUE(again) << again.error();
    auto access = state();
    ASSERT_NE(access.core(), nullptr);
    EXPECT_EQ(access.core()->process().id(), first);
    EXPECT_EQ(recorded_dir(access), runtime_dir().native());
}

// The core's first act is to start a child in the core's directory: it is in
// the core's job, and the stop ends it with the core before the directory
// goes. A child that shares the core's pipes keeps the log pumps busy until
// it ends; one apart is tied to the directory only by being in it.
TEST_F(SupervisorTest, WhatTheCoreStartsAtOnceIsInItsJobAndEndsWithItOnStop) {
    for (const std::string kind : {"true", "apart"}) {
        SCOPED_TRACE("grandchild: " + kind);
        write_core_dir("grandchild: " + kind + "\npid_file: pids\n");
        grant_lease(clock_.now() + 30s);
        ASSERT_TRUE(start_quickly());
        const auto pids = read_pids(2);
        ASSERT_EQ(pids.count("grandchild"), 1u);
        const std::uint32_t grandchild = pids.at("grandchild");
        EXPECT_TRUE(process_is_running(pids.at("core")));
        EXPECT_TRUE(process_is_running(grandchild));
        {
            auto access = state();
            const ProcessJob& job = access.core()->job();
            for (const auto& [id, in_job] :
                 {std::pair{pids.at("core"), true}, std::pair{grandchild, true},
                  std::pair{current_process_id(), false}}) {
                auto held = job.holds(id);
                ASSERT_TRUE(held) << held.error().text;
                EXPECT_EQ(*held, in_job) << id;
            }
        }
        const CoreLogPumps pumps = *state().core()->log_pumps();
        if (kind == "true") {
            EXPECT_FALSE(pumps.wait_for(0ms)) << "the grandchild holds the pipes";
        }

        EXPECT_TRUE(stop());
        // Gone by the time the directory went, not later.
        EXPECT_FALSE(process_is_running(grandchild)) << "the grandchild outlived the stop";
        EXPECT_FALSE(process_is_running(pids.at("core")));
        EXPECT_TRUE(pumps.wait_for(0ms)) << "the pumps must end before the directory goes";
        EXPECT_FALSE(fs::exists(runtime_dir()));
    }
}

// A core that ended by itself leaves its child behind in its job. Whoever
// retires the core (a stop, or the next start) ends the child before the
// directory goes.
TEST_F(SupervisorTest, WhatAnEndedCoreLeftBehindEndsWhenTheCoreIsRetired) {
    for (const bool by_start : {false, true}) {
        SCOPED_TRACE(by_start ? "retired by the next start" : "retired by a stop");
        write_core_dir("grandchild: apart\npid_file: pids\nexit_after_ms: 200\n");
        grant_lease(clock_.now() + 30s);
        ASSERT_TRUE(start_quickly());
        const auto pids = read_pids(2);
        ASSERT_TRUE(eventually([&] {
            auto polled = state().core()->poll();
            return polled && polled->has_value();
        })) << "the core did not end by itself";
        ASSERT_TRUE(process_is_running(pids.at("grandchild")));

        if (by_start) {
            write_core_dir("pid_file: pids\n");
            ASSERT_TRUE(start_quickly());
            EXPECT_FALSE(process_is_running(pids.at("grandchild")));
            EXPECT_NE(read_pids(1).at("core"), pids.at("core")) << "a new core runs";
        } else {
            ::testing::internal::CaptureStderr();
            const bool stopped = stop();
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
            EXPECT_TRUE(stopped);
            EXPECT_FALSE(process_is_running(pids.at("grandchild")));
            EXPECT_FALSE(fs::exists(runtime_dir()));
        }
        EXPECT_TRUE(stop());
        fs::remove_all(core_dir());
    }
}

TEST_F(SupervisorTest, FailuresBeforeAndAtTheLaunchSettleTheSlot) {
    testing::write_file(path() / "not-a-program", "plain text");
    const NativeString not_a_program = (path() / "not-a-program").native();
    const NativeString empty_service = (path() / "empty" / "kavo-daemon.exe").native();
    const struct {
        const char* name;
        std::function<Result<NativeString>()> locate;
        std::string error_start;
    } cases[] = {
        {"no core beside the daemon", [=] { return locate_core_executable(empty_service); },
         std::string(CORE_BINARY_UNAVAILABLE)},
        {"core cannot run", [=] { return Result<NativeString>(not_a_program); },
         std::string(START_BUNDLED_CORE_FAILED)},
    };
    for (const auto& c : cases) {
        grant_lease(clock_.now() + 30s);
        CoreStartHooks hooks;
        hooks.locate = c.locate;
        auto started = start(std::move(hooks));
        ASSERT_FALSE(started) << c.name;
        EXPECT_TRUE(started.error().starts_with(c.error_start))
            << c.name << ": " << started.error();
        EXPECT_FALSE(fs::exists(runtime_dir())) << c.name;
        auto access = state();
        EXPECT_EQ(access.core(), nullptr) << c.name;
        EXPECT_FALSE(access.lease().record().has_value()) << c.name;
        EXPECT_FALSE(access.lease().stop_pending()) << c.name;
    }
    // The launch error carries the system's text after the message.
    grant_lease(clock_.now() + 30s);
    CoreStartHooks hooks;
    hooks.locate = [=] { return Result<NativeString>(not_a_program); };
    auto started = start(std::move(hooks));
    ASSERT_FALSE(started);
    EXPECT_NE(started.error().find("(os error "), std::string::npos) << started.error();

    fs::remove(core_dir() / "geoip.metadb");
    grant_lease(clock_.now() + 30s);
    auto unstaged = start_quickly();
    ASSERT_FALSE(unstaged);
    EXPECT_EQ(unstaged.error(), "Runtime configuration is unavailable");
    EXPECT_FALSE(state().lease().record().has_value());
}

TEST_F(SupervisorTest, ReclaimStopsOnlyAnExpiredLease) {
    const fs::path leftover = runtime_root() / LEASE;
    const struct {
        const char* name;
        std::chrono::nanoseconds expires_in;
        bool stop_pending;
        bool reclaimed;
    } cases[] = {
        {"expires exactly now", 0ns, false, true},
        {"expired a while ago", -1s, false, true},
        {"expires a moment later", 1ns, false, false},
        {"expired, stop pending", -1s, true, false},
    };
    for (const auto& c : cases) {
        fs::create_directories(leftover);
        grant_lease(clock_.now() + c.expires_in, leftover.native());
        if (c.stop_pending) {
            state().mark_stuck();
        }
        auto reclaimed = run(reclaim_expired_lease(slot_));
        ASSERT_TRUE(reclaimed) << c.name << ": " << reclaimed.error();
        {
            auto access = state();
            EXPECT_EQ(access.lease().record().has_value(), !c.reclaimed) << c.name;
            EXPECT_EQ(fs::exists(leftover), !c.reclaimed) << c.name;
            EXPECT_EQ(access.lease().stop_pending(), c.stop_pending) << c.name;
        }
        clear_slot();
    }
    // No lease, nothing to do; an expired one with no directory is cleared.
    EXPECT_TRUE(run(reclaim_expired_lease(slot_)));
    grant_lease(clock_.now());
    EXPECT_TRUE(run(reclaim_expired_lease(slot_)));
    EXPECT_FALSE(state().lease().record().has_value());
}

TEST_F(SupervisorTest, SettlingAppliesTheOutcome) {
    const NativeString handed_dir = KAVO_NATIVE("handed back");
    const struct {
        const char* name;
        bool stopped;
        bool deferred;
        bool core_back;
        bool dir_back;
        bool lease;
        bool release_lease;
        // Whether the lease is still recorded afterwards.
        bool lease_after;
        std::string line;
    } cases[] = {
        {"stopped", true, false, false, false, true, true, false, ""},
        {"stopped, cleanup deferred", true, true, false, false, true, true, false, DEFERRED_LINE},
        {"retired within a start", true, false, false, false, true, false, true, ""},
        {"not stopped", false, false, true, true, true, true, true, ""},
        {"not stopped, no directory back", false, false, true, false, true, true, true, ""},
        {"not stopped, no lease", false, false, true, true, false, true, false, ""},
    };
    for (const auto& c : cases) {
        if (c.lease) {
            grant_lease(clock_.now() + 30s);
        }
        {
            auto access = state();
            StopOutcome outcome;
            outcome.stopped = c.stopped;
            outcome.cleanup_deferred = c.deferred;
            if (c.core_back) {
                auto core = bind_core_to_job(sleeper_options());
                ASSERT_TRUE(core) << core.error();
                outcome.kept.core.emplace(std::move(core).value());
            }
            if (c.dir_back) {
                outcome.kept.runtime_dir = handed_dir;
            }
            ::testing::internal::CaptureStderr();
            const bool settled = access.settle(std::move(outcome), c.release_lease);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line) << c.name;
            EXPECT_EQ(settled, c.stopped) << c.name;
            EXPECT_EQ(access.core() != nullptr, c.core_back) << c.name;
            EXPECT_EQ(recorded_dir(access),
                      c.dir_back ? std::optional<NativeString>(handed_dir) : std::nullopt)
                << c.name;
            EXPECT_EQ(access.lease().stop_pending(), !c.stopped) << c.name;
            EXPECT_EQ(access.lease().record().has_value(), c.lease_after) << c.name;
        }
        clear_slot();
    }
}

// An access moved onto another gives back the lock it held while that
// slot is still there, even when it held the slot's last reference.
TEST(CoreSlotAccessTest, AMoveOntoAnAccessGivesBackItsLockBeforeItsSlotGoes) {
    BlockingPool pool(1, 50ms);
    auto first = CoreSlot::create(pool);
    auto second = CoreSlot::create(pool);
    const std::weak_ptr<CoreSlot> first_seen = first;
    std::optional<CoreSlot::Access> target = first->try_lock();
    std::optional<CoreSlot::Access> source = second->try_lock();
    ASSERT_TRUE(target.has_value() && source.has_value());
    first.reset();
    *target = std::move(*source);
    EXPECT_TRUE(first_seen.expired());
    EXPECT_FALSE(second->try_lock().has_value()) << "the moved lock is still held";
    source.reset();
    EXPECT_FALSE(second->try_lock().has_value()) << "a moved-from access holds nothing";
    target.reset();
    EXPECT_TRUE(second->try_lock().has_value());
}

}  // namespace
}  // namespace kavo
