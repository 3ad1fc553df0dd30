// The real kavo-daemon under many clients at once, and under the faults a
// running machine produces: a core killed from outside, a daemon killed in
// the middle of a start, a runtime directory that cannot be removed, a very
// slow client and a crowd of clients that never say anything.
//
// The soak runs KAVO_SOAK_CLIENTS clients (default 200) for
// KAVO_SOAK_SECONDS seconds (default 20); the long form is the same test
// with larger numbers, run by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "daemon_fixture.h"
#include "ipc/frame_io.h"
#include "ipc/lease_answers.h"
#include "soak/process_figures.h"
#include "soak/soak_clients.h"

namespace kavo {
namespace {

using namespace kavo::testing;
using namespace kavo::soak;

class SoakTest : public DaemonFixture {
  protected:
    std::optional<IpcResponse::Status> status() { return status_of(SECRET); }
    bool idle() { return soak::idle(SECRET); }
};

TEST_F(SoakTest, ManyClientsKeepTheLeaseRulesAndLeaveNothingBehind) {
    const std::size_t clients = tunable("KAVO_SOAK_CLIENTS", 200);
    const std::size_t seconds = tunable("KAVO_SOAK_SECONDS", 20);
    const std::uint32_t seed = static_cast<std::uint32_t>(tunable("KAVO_SOAK_SEED", 20261209));

    // The address sanitizer holds freed memory back in a quarantine of up
    // to 256 MiB, which would hide what the daemon itself keeps; without it
    // the resident size shows the daemon's own growth. Leaks are still
    // reported when the daemon exits.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string sanitizer_options =
        (sanitizer && *sanitizer ? std::string(sanitizer) + ":" : std::string()) +
        "quarantine_size_mb=0";
    auto daemon = start_daemon(daemon_arguments(), {{NativeString(KAVO_NATIVE("ASAN_OPTIONS")),
                                                     utf8_to_native(sanitizer_options)}});
    ASSERT_NE(daemon->child(), nullptr);
    const std::uint32_t daemon_pid = daemon->child()->id();

    // One whole cycle first, so that what a first start sets up once counts
    // as the idle level.
    ASSERT_TRUE(eventually([&] { return idle(); })) << "the daemon never answered";
    const std::string warm_up = acquire();
    ASSERT_FALSE(warm_up.empty());
    ASSERT_EQ(ctl({"start", warm_up}).exit_status, 0u);
    ASSERT_EQ(ctl({"stop", warm_up}).exit_status, 0u);
    ASSERT_TRUE(idle());
    const auto before = resting_figures_of(daemon_pid);
    ASSERT_TRUE(before);

    Soak soak{std::chrono::seconds(seconds), std::string(SECRET)};
    CoreWatch watch(runtime_root());
    const double ran = run_until_idle(soak, watch, SECRET, clients, seed);
    const auto poll = daemon->child()->poll();
    ASSERT_TRUE(poll);
    EXPECT_FALSE(poll->has_value()) << "the daemon exited during the soak";
    EXPECT_EQ(runtime_entries(), std::set<std::string>{}) << "runtime directories were left";

    // What leaks shows in the sanitizer's leak report when the daemon exits,
    // which the exit status checks below.
    const std::uint64_t rss_slack_kib = resident_slack_kib(clients);
    const auto [after, settled] = settled_figures_of(daemon_pid, *before);
    ASSERT_TRUE(after);

    const bool did_its_work = report_and_check(soak, watch, clients, seconds, seed, ran, std::cout);
    std::cout << "  daemon descriptors " << *before->handles << " -> " << *after->handles
              << ", VmRSS " << before->resident_kib << " KiB -> " << after->resident_kib
              << " KiB (bound +" << rss_slack_kib << " KiB), open files limit "
              << after->open_files_limit << "\n";
    EXPECT_TRUE(settled) << "descriptors " << *before->handles << " -> " << *after->handles;
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer's runtime keeps shadow and access history that
    // grow with the run of its own accord; there the figure is only shown.
#else
    EXPECT_LE(after->resident_kib, before->resident_kib + rss_slack_kib);
#endif
    EXPECT_TRUE(did_its_work) << "no leases went round, or no cores ran";

    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
    EXPECT_EQ(daemon->errors(), "");
}

// ---------------------------------------------------------------------------
// Faults.

class DaemonFaultTest : public SoakTest {};

// The core dies by another hand while the lease holder still holds it.
TEST_F(DaemonFaultTest, ACoreKilledFromOutsideEndsItsLease) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    const std::string id = acquire();
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(ctl({"start", id}).exit_status, 0u);
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);

    ASSERT_TRUE(kill_outright(pid));
    ASSERT_TRUE(eventually([&] { return !process_is_running(pid); }));
    // Once the core has ended, Status clears the lease and its directory.
    const auto seen = status();
    ASSERT_TRUE(seen);
    EXPECT_FALSE(seen->running);
    EXPECT_FALSE(seen->lease_active);
    EXPECT_EQ(seen->lease_expires_in_seconds, std::nullopt);
    EXPECT_EQ(runtime_entries(), std::set<std::string>{});

    const CtlRun released = ctl({"release", id});
    EXPECT_EQ(released.output,
              line_of(IpcResponse{IpcResponse::Error{std::string(LEASE_NO_LONGER_VALID)}}));
    const std::string next = acquire();
    ASSERT_FALSE(next.empty());
    EXPECT_NE(next, id);
    ASSERT_EQ(ctl({"start", next}).exit_status, 0u);
    const std::uint32_t next_pid = core_pid(next);
    ASSERT_NE(next_pid, 0u);
    EXPECT_TRUE(process_is_running(next_pid));
    EXPECT_EQ(ctl({"stop", next}).exit_status, 0u);
    EXPECT_FALSE(process_is_running(next_pid));

    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
    EXPECT_EQ(daemon->errors(), "");
}

// SIGKILL reaches the daemon while a start is still unanswered: during the
// staging of large runtime files, or during the startup wait once the core
// runs. Nothing of that start outlives the next daemon's start-up.
TEST_F(DaemonFaultTest, ADaemonKilledDuringAStartLeavesNothingAfterItsRestart) {
    const struct {
        const char* what;
        // Bytes of the geosite file staged with every start.
        std::size_t geosite_bytes;
        // When the kill comes: as soon as the runtime directory exists, or
        // once the core has written its pid file.
        bool after_launch;
    } cases[] = {
        {"while staging", std::size_t{96} << 20, false},
        {"during the startup wait", 16, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(core_dir() / "GeoSite.dat", std::string(c.geosite_bytes, 'g'));
        auto daemon = start_daemon(daemon_arguments());
        ASSERT_NE(daemon->child(), nullptr);
        const std::string id = acquire();
        ASSERT_FALSE(id.empty());

        SpawnOptions options;
        options.program = beside_tests("kavo-ctl").native();
        options.arguments = {NativeString(KAVO_NATIVE("--identity-file")), identity_file().native(),
                             NativeString(KAVO_NATIVE("start")), utf8_to_native(id)};
        auto spawned = ChildProcess::spawn(options);
        ASSERT_TRUE(spawned) << spawned.error().text;
        ChildProcess& start = children_.add(std::move(spawned).value());

        const fs::path pid_file = runtime_root() / id / "pids";
        ASSERT_TRUE(eventually([&] {
            return c.after_launch ? core_pid_in(pid_file) != 0 : fs::exists(runtime_root() / id);
        }));
        ASSERT_TRUE(daemon->child()->terminate(1));
        ASSERT_TRUE(daemon->exit_status().has_value());

        // The start was in flight: it never got an answer.
        const std::string answered = read_all(start.standard_output());
        static_cast<void>(read_all(start.standard_error()));
        const auto code = start.wait();
        ASSERT_TRUE(code);
        EXPECT_NE(*code, 0u);
        EXPECT_EQ(answered, "");

        const std::uint32_t pid = core_pid_in(pid_file);
        if (c.after_launch) {
            EXPECT_NE(pid, 0u);
        }
        if (pid != 0) {
            EXPECT_TRUE(eventually([&] { return !process_is_running(pid); }))
                << "the core outlived the daemon";
        }
        EXPECT_EQ(runtime_entries(), std::set<std::string>{id});

        auto next = start_daemon(daemon_arguments());
        ASSERT_NE(next->child(), nullptr);
        ASSERT_TRUE(eventually([&] { return idle(); }));
        EXPECT_EQ(runtime_entries(), std::set<std::string>{}) << "the start-up sweep left it";
        ASSERT_TRUE(next->child()->interrupt());
        EXPECT_EQ(next->exit_status(), std::optional<std::uint32_t>(0));
        EXPECT_EQ(next->errors(), "");
    }
}

// A stop whose runtime directory cannot go succeeds all the same and says
// so once; the next daemon's sweep removes the directory.
TEST_F(DaemonFaultTest, AnUnremovableRuntimeDirectoryIsLeftToTheNextSweep) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    const std::string id = acquire();
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(ctl({"start", id}).exit_status, 0u);
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);

    RemovalBlocker blocker(runtime_root() / id / "config.yaml");
    if (!blocker.holds()) {
        ASSERT_TRUE(daemon->child()->interrupt());
        GTEST_SKIP() << "nothing here keeps a file from being removed (not root, no chattr)";
    }
    const CtlRun stopped = ctl({"stop", id});
    EXPECT_EQ(stopped.exit_status, 0u) << stopped.error;
    EXPECT_EQ(stopped.output, line_of(IpcResponse{IpcResponse::Ok{}}));
    EXPECT_FALSE(process_is_running(pid));
    EXPECT_TRUE(idle());
    EXPECT_EQ(runtime_entries(), std::set<std::string>{id});

    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
    // The removal says it failed, then the stop that it leaves the directory.
    EXPECT_EQ(daemon->errors(), std::string(REMOVE_RUNTIME_DIR_FAILED) + "\n" +
                                    std::string(DEFERRED_RUNTIME_CLEANUP) + "\n");

    blocker.release();
    auto next = start_daemon(daemon_arguments());
    ASSERT_NE(next->child(), nullptr);
    ASSERT_TRUE(eventually([&] { return idle(); }));
    EXPECT_EQ(runtime_entries(), std::set<std::string>{});
    ASSERT_TRUE(next->child()->interrupt());
    EXPECT_EQ(next->exit_status(), std::optional<std::uint32_t>(0));
}

// Each read of a frame has its own limit: a client that keeps within both,
// however slowly, is served; one that stretches the length past its limit is
// cut off before anything is answered.
TEST_F(DaemonFaultTest, AClientSendingAByteAtATimeIsServedWithinTheReadLimits) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    ASSERT_TRUE(eventually([&] { return idle(); }));

    check_slow_clients(SECRET, digest_);

    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
    EXPECT_EQ(daemon->errors(), "");
}

// A crowd of clients that connect and say nothing: the daemon cuts every one
// after its read limit, serves a real client among them, and ends up with
// the descriptors it had before.
TEST_F(DaemonFaultTest, SilentConnectionsAreCutAndOthersServedMeanwhile) {
    constexpr std::size_t SILENT = 1000;
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    ASSERT_TRUE(eventually([&] { return idle(); }));
    const auto before = resting_figures_of(daemon->child()->id());
    ASSERT_TRUE(before);
    const auto own = figures_of(current_process_id());
    ASSERT_TRUE(own);
    std::cout << "daemon open files limit " << before->open_files_limit << ", this test's "
              << own->open_files_limit << "\n";

    check_silent_crowd(SECRET, SILENT, std::cout);

    std::optional<ProcessFigures> after;
    EXPECT_TRUE(eventually([&] {
        after = figures_of(daemon->child()->id());
        return after && after->handles == before->handles;
    })) << "descriptors "
        << *before->handles << " -> " << (after ? after->handles.value_or(0) : 0);

    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
    EXPECT_EQ(daemon->errors(), "");
}

}  // namespace
}  // namespace kavo
