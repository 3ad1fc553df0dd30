// The real kavo-daemon in the foreground, as a child of this test with a
// private ProgramData, the stand-in core beside it and the real kavo-ctl
// talking to it over the service's own pipe name. The daemon ends by
// SIGTERM, as a service manager on Linux would end it, or is killed outright.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/lease.h"
#include "ctl/ctl_run.h"
#include "daemon_fixture.h"
#include "host/foreground_service.h"
#include "host/pipe_server.h"
#include "ipc/lease_answers.h"
#include "ipc/record_json.h"
#include "ipc/request_handler.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "service/service_config.h"
#include "test_support.h"

namespace kavo {
namespace {

using namespace kavo::testing;

class ForegroundDaemonTest : public testing::DaemonFixture {};

TEST_F(ForegroundDaemonTest, AnswersKavoCtlAndEndsOnSigterm) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    const std::string ok_line = line_of(IpcResponse{IpcResponse::Ok{}});

    // kavo-ctl retries its open while the daemon comes up.
    const CtlRun first = ctl({"status"});
    EXPECT_EQ(first.exit_status, 0u) << first.error;
    EXPECT_EQ(first.output, line_of(status_answer(false, digest_, std::nullopt)));
    EXPECT_EQ(first.error, "");

    const std::string id = acquire();
    ASSERT_FALSE(id.empty());
    const CtlRun started = ctl({"start", id});
    ASSERT_EQ(started.exit_status, 0u) << started.error;
    EXPECT_EQ(started.output, ok_line);
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(process_is_running(pid));

    // The clock runs: some seconds may have passed since the grant.
    const CtlRun running = ctl({"status"});
    EXPECT_EQ(running.exit_status, 0u) << running.error;
    bool live_lease = false;
    for (std::uint64_t left = 0; left <= LEASE_DURATION.count(); ++left) {
        live_lease = live_lease || running.output == line_of(status_answer(true, digest_, left));
    }
    EXPECT_TRUE(live_lease) << running.output;

    const CtlRun stopped = ctl({"stop", id});
    EXPECT_EQ(stopped.exit_status, 0u) << stopped.error;
    EXPECT_EQ(stopped.output, ok_line);
    EXPECT_FALSE(process_is_running(pid));
    EXPECT_EQ(runtime_entries(), std::set<std::string>{});

    // The stop ended the lease with the core: an error answer is status 1.
    const CtlRun released = ctl({"release", id});
    EXPECT_EQ(released.exit_status, 1u) << released.error;
    EXPECT_EQ(released.output,
              line_of(IpcResponse{IpcResponse::Error{std::string(LEASE_NO_LONGER_VALID)}}));

    // A core running when the signal comes ends with the daemon.
    const std::string next = acquire();
    ASSERT_FALSE(next.empty());
    ASSERT_EQ(ctl({"start", next}).exit_status, 0u);
    const std::uint32_t next_pid = core_pid(next);
    ASSERT_NE(next_pid, 0u);

    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
    EXPECT_EQ(daemon->errors(), "");
    EXPECT_FALSE(process_is_running(next_pid));
    EXPECT_EQ(runtime_entries(), std::set<std::string>{}) << "no runtime directory is left";
}

TEST_F(ForegroundDaemonTest, AConfigurationErrorIsExitOneAndOneLine) {
    const NativeString core_dir_option(KAVO_NATIVE("--core-dir"));
    std::vector<NativeString> missing_identity = daemon_arguments();
    missing_identity[3] = (path() / "no-identity").native();
    const struct {
        const char* what;
        std::vector<NativeString> arguments;
        std::string_view message;
    } cases[] = {
        {"no arguments", {}, CORE_DIR_NOT_CONFIGURED},
        {"an option without its value", {core_dir_option}, MISSING_CORE_DIR_VALUE},
        {"no identity file", missing_identity, IDENTITY_UNREADABLE},
    };
    for (const auto& c : cases) {
        auto daemon = start_daemon(c.arguments);
        ASSERT_NE(daemon->child(), nullptr) << c.what;
        EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(1)) << c.what;
        EXPECT_EQ(daemon->errors(),
                  std::string(SERVICE_FAILED_PREFIX) + std::string(c.message) + "\n")
            << c.what;
    }
}

// kavo-ctl run holds a lease and a running core until it is interrupted,
// then gives both back: what an operator sees from it, and what the daemon
// says afterwards.
TEST_F(ForegroundDaemonTest, KavoCtlRunHoldsTheCoreUntilInterrupted) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    SpawnOptions options;
    options.program = beside_tests("kavo-ctl").native();
    options.arguments = ctl_arguments({"run"});
    auto spawned = ChildProcess::spawn(options);
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& run = children_.add(std::move(spawned).value());

    // Its output up to the first status that shows the core running.
    std::string output;
    char buffer[4096];
    while (output.find("\"running\":true") == std::string::npos) {
        auto got = run.standard_output()->read(buffer);
        if (!got || *got == 0) {
            break;
        }
        output.append(buffer, *got);
    }
    const std::string key = std::string(CTL_RUN_ACQUIRED);
    ASSERT_EQ(output.rfind(key, 0), 0u) << output;
    const std::string id = output.substr(key.size(), 32);
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(process_is_running(pid));

    ASSERT_TRUE(run.interrupt());
    output += read_all(run.standard_output());
    const std::string errors = read_all(run.standard_error());
    const auto code = run.wait();
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0u) << errors;
    EXPECT_EQ(errors, "");
    const std::vector<std::string> lines = lines_of(output);
    ASSERT_GE(lines.size(), 5u) << output;
    EXPECT_EQ(lines[0], ctl_run_acquired_line(IpcResponse::Lease{
                            id, static_cast<std::uint64_t>(LEASE_DURATION.count())}));
    EXPECT_EQ(lines[1], CTL_RUN_STARTED);
    EXPECT_EQ(lines[lines.size() - 2], CTL_RUN_STOPPING);
    EXPECT_EQ(lines.back(), CTL_RUN_RELEASED);
    for (std::size_t i = 2; i + 2 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(CTL_RUN_STATUS, 0), 0u) << lines[i];
    }

    EXPECT_FALSE(process_is_running(pid));
    EXPECT_EQ(runtime_entries(), std::set<std::string>{});
    const CtlRun after = ctl({"status"});
    EXPECT_EQ(after.output, line_of(status_answer(false, digest_, std::nullopt)));
    ASSERT_TRUE(daemon->child()->interrupt());
    EXPECT_EQ(daemon->exit_status(), std::optional<std::uint32_t>(0));
}

}  // namespace
}  // namespace kavo
