// The real kavo-daemon.exe installed, serving and removed under the real
// service control manager (Wine's, for the Windows build): the installer and
// uninstaller run as children, kavo-ctl talks to the service over the
// service's own pipe, and the service sees the ProgramData of the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/protected_dirs.h"
#include "core/redact.h"
#include "core/runtime_staging.h"
#include "ctl/ctl_command.h"
#include "host/service_lifecycle.h"
#include "install/service_install.h"
#include "install/service_registration.h"
#include "install/service_removal.h"
#include "ipc/client_records.h"
#include "ipc/lease_answers.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "platform/service_manager.h"
#include "platform/utf.h"
#include "program/program_mode.h"
#include "restart_removals.h"
#include "service/installed_service.h"
#include "service/service_config.h"
#include "test_support.h"

namespace kavo {
namespace {

using namespace kavo::service_testing;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

class InstalledServiceTest : public InstalledServiceFixture {};

TEST_F(InstalledServiceTest, InstallServeStopAndUninstall) {
    const ProgramRun installed = install();
    ASSERT_EQ(installed.exit_status, 0u) << installed.error;
    EXPECT_EQ(installed.output, "");
    EXPECT_FALSE(fs::exists(identity_source()));

    auto service = open_service();
    ASSERT_TRUE(service);
    EXPECT_EQ(wait_for_state(*service, SERVICE_STATE_RUNNING), SERVICE_STATE_RUNNING);
    const auto registered = service->registered_command_line();
    ASSERT_TRUE(registered) << registered.error().text;
    EXPECT_EQ(*registered, service_command_line(
                               (service_root_ / "kavo-daemon.exe").native(), core_dir().native(),
                               (service_root_ / "identity").native(), core_digest_));
    // The core directory holds a space, so it is quoted on the command line.
    EXPECT_NE(registered->find(KAVO_NATIVE("\"") + core_dir().native() + KAVO_NATIVE("\"")),
              NativeString::npos);

    // The pipe server may have made the runtime root by the time this looks.
    std::set<std::string> entries = service_root_entries();
    entries.erase("Runtime");
    EXPECT_EQ(entries, (std::set<std::string>{"identity", "kavo-daemon.exe", "kavo_core.exe"}));
    EXPECT_EQ(testing::read_file(service_root_ / "identity"), IDENTITY);
    EXPECT_EQ(testing::read_file(service_root_ / "kavo_core.exe"),
              testing::read_file(bundle() / "kavo_core.exe"));

    // The installed identity by default, or a copy of it named by the option.
    const fs::path identity_copy = dir_.path() / "client identity";
    testing::write_file(identity_copy, IDENTITY + "\n");
    const std::string with_copy = std::string(CTL_IDENTITY_FILE_OPTION);

    const ProgramRun status = ctl({"status"});
    ASSERT_EQ(status.exit_status, 0u) << status.error;
    const auto idle_status = record_of<IpcResponse::Status>(status);
    ASSERT_TRUE(idle_status);
    EXPECT_FALSE(idle_status->running);
    EXPECT_FALSE(idle_status->lease_active);
    EXPECT_EQ(idle_status->core_sha256, core_digest_);

    const ProgramRun acquired = ctl({with_copy, identity_copy.string(), "acquire"});
    ASSERT_EQ(acquired.exit_status, 0u) << acquired.error;
    const auto lease = record_of<IpcResponse::Lease>(acquired);
    ASSERT_TRUE(lease);
    const std::string lease_id = lease->lease_id;

    const ProgramRun started = ctl({"start", lease_id});
    ASSERT_EQ(started.exit_status, 0u) << started.output << started.error;
    EXPECT_TRUE(std::holds_alternative<IpcResponse::Ok>(answer_of(started)->value))
        << started.output;

    // The stand-in core runs and its line reaches the log, redacted.
    const std::string redacted = redact_line(CREDENTIAL_LINE);
    ASSERT_NE(redacted, CREDENTIAL_LINE);
    std::string logged;
    const auto deadline = std::chrono::steady_clock::now() + STATE_DEADLINE;
    while (std::chrono::steady_clock::now() < deadline &&
           logged.find(redacted) == std::string::npos) {
        for (const auto& runtime_dir : runtime_dir_candidates(lease_id)) {
            const fs::path log = runtime_dir / "core.log";
            if (fs::exists(log)) {
                logged = testing::read_file(log);
            }
        }
        if (logged.find(redacted) != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_NE(logged.find(redacted), std::string::npos) << logged;
    EXPECT_EQ(logged.find("planted-credential"), std::string::npos) << logged;

    const auto running_status = record_of<IpcResponse::Status>(ctl({"status"}));
    ASSERT_TRUE(running_status);
    EXPECT_TRUE(running_status->running);
    EXPECT_TRUE(running_status->lease_active);

    const ProgramRun stopped = ctl({"stop", lease_id});
    EXPECT_EQ(stopped.exit_status, 0u) << stopped.output << stopped.error;
    // The stop ended the lease with it, so there is nothing left to release.
    const ProgramRun released = ctl({with_copy, identity_copy.string(), "release", lease_id});
    EXPECT_EQ(released.exit_status, 1u) << released.output << released.error;
    const auto release_answer = answer_of(released);
    ASSERT_TRUE(release_answer);
    EXPECT_EQ(release_answer->value,
              IpcResponse::Variant(IpcResponse::Error{std::string(LEASE_NO_LONGER_VALID)}));
    const auto after_status = record_of<IpcResponse::Status>(ctl({"status"}));
    ASSERT_TRUE(after_status);
    EXPECT_FALSE(after_status->running);
    EXPECT_FALSE(after_status->lease_active);

    // A stop control ends the service, which reports stopped.
    ASSERT_TRUE(service->send_stop());
    EXPECT_EQ(wait_for_state(*service, SERVICE_STATE_STOPPED), SERVICE_STATE_STOPPED);
    service->close();

    // With no service serving the pipe, kavo-ctl gives up after its retries.
    const ProgramRun unreachable = ctl({"status"});
    EXPECT_EQ(unreachable.exit_status, 2u) << unreachable.output;
    EXPECT_TRUE(unreachable.error.starts_with(CTL_NO_PIPE_ERROR_PREFIX)) << unreachable.error;

    const ProgramRun removed = uninstall();
    EXPECT_EQ(removed.exit_status, 0u) << removed.error;
    EXPECT_FALSE(open_service());
    EXPECT_FALSE(fs::exists(service_root_));
    const ProgramRun again = uninstall();
    EXPECT_EQ(again.exit_status, 0u) << again.error;
}

TEST_F(InstalledServiceTest, InstallingOverARunningInstallReplacesIt) {
    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    const ProgramRun acquired = ctl({"acquire"});
    ASSERT_EQ(acquired.exit_status, 0u) << acquired.output << acquired.error;

    const ProgramRun second = install();
    ASSERT_EQ(second.exit_status, 0u) << second.error;
    ASSERT_TRUE(running_service());
    // A new service process: the lease of the first one is gone.
    const ProgramRun status = ctl({"status"});
    ASSERT_EQ(status.exit_status, 0u) << status.error;
    const auto fresh = record_of<IpcResponse::Status>(status);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->lease_active);
}

// The names in the install parent of what a removal set aside.
std::vector<std::string> set_aside_in(const fs::path& install_parent) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(install_parent)) {
        const std::string name = entry.path().filename().string();
        if (is_set_aside_name(name)) {
            names.push_back(name);
        }
    }
    return names;
}

// What an uninstaller on the machine runs: the installed copy, which Windows
// does not let delete its own image while it runs. The image goes aside into
// the install parent, to be deleted at the next start, and nothing of the
// install is left in the service root.
TEST_F(InstalledServiceTest, UninstallingFromTheInstalledCopyLeavesNothingOfTheInstall) {
    const ProgramRun installed = install();
    ASSERT_EQ(installed.exit_status, 0u) << installed.error;
    {
        auto service = open_service();
        ASSERT_TRUE(service);
        ASSERT_EQ(wait_for_state(*service, SERVICE_STATE_RUNNING), SERVICE_STATE_RUNNING);
    }
    const ProgramRun acquired = ctl({"acquire"});
    ASSERT_EQ(acquired.exit_status, 0u) << acquired.output << acquired.error;

    const ProgramRun removed = run_program(service_root_ / "kavo-daemon.exe",
                                           {native_of(std::string(UNINSTALL_SERVICE_FLAG))});
    EXPECT_EQ(removed.exit_status, 0u) << removed.error;
    EXPECT_FALSE(open_service());
    EXPECT_FALSE(fs::exists(service_root_));
    const fs::path install_parent = service_root_.parent_path();
    const auto left = set_aside_in(install_parent);
    for (const auto& name : left) {
        // Only the uninstaller's own image, waiting for the next start where
        // the system would not delete it while it ran.
        EXPECT_TRUE(name.starts_with("kavo-daemon.exe.removed-")) << name;
        EXPECT_TRUE(testing::removed_at_restart(install_parent / name)) << name;
    }
    EXPECT_LE(left.size(), 1u);
    // Its program has ended: the next removal takes it.
    const ProgramRun again = uninstall();
    EXPECT_EQ(again.exit_status, 0u) << again.error;
    EXPECT_EQ(set_aside_in(install_parent), std::vector<std::string>{});
}

// Installing again from the installed copy (with a new identity, say) takes
// the files from where they were set aside.
TEST_F(InstalledServiceTest, InstallingFromTheInstalledCopyReplacesIt) {
    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    testing::write_file(identity_source(), IDENTITY + "\n");
    const ProgramRun again = run_program(service_root_ / "kavo-daemon.exe",
                                         install_arguments(identity_source(), core_digest_));
    ASSERT_EQ(again.exit_status, 0u) << again.error;
    EXPECT_TRUE(running_service());
    EXPECT_EQ(testing::read_file(service_root_ / "kavo_core.exe"),
              testing::read_file(bundle() / "kavo_core.exe"));
    EXPECT_EQ(testing::read_file(service_root_ / "kavo-daemon.exe"),
              testing::read_file(bundle() / "kavo-daemon.exe"));
    EXPECT_EQ(testing::read_file(service_root_ / "identity"), IDENTITY);
    ASSERT_TRUE(testing::eventually([&] { return ctl({"status"}).exit_status == 0; }));
    // At most the installer's own image is left, for the next start.
    for (const auto& name : set_aside_in(service_root_.parent_path())) {
        EXPECT_TRUE(name.starts_with("kavo-daemon.exe.removed-")) << name;
    }
}

// The old service reports stopped before its process has ended; the install
// waits for that process before it touches the files it still maps. A lease
// is held and a core runs each time, and each install must go through.
TEST_F(InstalledServiceTest, InstallingOverARunningInstallWithACoreNeverFails) {
    constexpr int ROUNDS = 4;
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const ProgramRun installed = install();
        ASSERT_EQ(installed.exit_status, 0u) << installed.error;
        ASSERT_TRUE(running_service());
        ProgramRun acquired;
        ASSERT_TRUE(testing::eventually([&] {
            acquired = ctl({"acquire"});
            return acquired.exit_status == 0;
        })) << acquired.output
            << acquired.error;
        const auto lease = record_of<IpcResponse::Lease>(acquired);
        ASSERT_TRUE(lease);
        const ProgramRun started = ctl({"start", lease->lease_id});
        ASSERT_EQ(started.exit_status, 0u) << started.output << started.error;
        const auto running_status = record_of<IpcResponse::Status>(ctl({"status"}));
        ASSERT_TRUE(running_status);
        EXPECT_TRUE(running_status->running);
    }
    const ProgramRun last = install();
    EXPECT_EQ(last.exit_status, 0u) << last.error;
}

// A reinstall that keeps its secret names the installed identity as its
// source: that identity is what the new service reads, so it stays, and the
// service starts with it again later.
TEST_F(InstalledServiceTest, ReinstallingFromTheInstalledIdentityKeepsIt) {
    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    const fs::path installed = service_root_ / "identity";
    const ProgramRun again =
        run_program(bundle() / "kavo-daemon.exe", install_arguments(installed, core_digest_));
    ASSERT_EQ(again.exit_status, 0u) << again.error;
    ASSERT_TRUE(fs::exists(installed));
    EXPECT_EQ(testing::read_file(installed), IDENTITY);

    // Stopped and started again, the service reads it once more.
    auto service = running_service();
    ASSERT_TRUE(service);
    ASSERT_TRUE(service->send_stop());
    ASSERT_EQ(wait_for_state(*service, SERVICE_STATE_STOPPED), SERVICE_STATE_STOPPED);
    ASSERT_TRUE(service->start());
    ASSERT_EQ(wait_for_state(*service, SERVICE_STATE_RUNNING), SERVICE_STATE_RUNNING);
    ASSERT_TRUE(testing::eventually([&] { return ctl({"status"}).exit_status == 0; }));
}

TEST_F(InstalledServiceTest, InstalledFilesCarryTheProtectedAccessList) {
    const ProgramRun installed = install();
    ASSERT_EQ(installed.exit_status, 0u) << installed.error;
    const std::string file_access = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
    for (const char* name : {"kavo-daemon.exe", "kavo_core.exe", "identity"}) {
        const auto protection = read_protection((service_root_ / name).native());
        ASSERT_TRUE(protection) << name << ": " << protection.error().text;
        if (running_under_wine() && protection->access != file_access) {
            GTEST_SKIP() << "Wine does not keep a written access list; it reports one derived "
                            "from the file mode instead: "
                         << protection->access;
        }
        EXPECT_EQ(protection->access, file_access) << name;
    }
}

TEST_F(InstalledServiceTest, AWrongOrUpperCaseCoreHashFailsAndLeavesNothing) {
    std::string upper = core_digest_;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string wrong = core_digest_;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    for (const std::string& hash : {upper, wrong}) {
        const ProgramRun installed = install(hash);
        EXPECT_EQ(installed.exit_status, 1u) << hash << ": " << installed.error;
        EXPECT_EQ(installed.output, "") << hash;
        EXPECT_FALSE(fs::exists(service_root_)) << hash;
        EXPECT_FALSE(fs::exists(identity_source())) << hash;
        EXPECT_FALSE(open_service()) << hash;
    }
}

TEST_F(InstalledServiceTest, AMissingCoreFailsAfterTheEarlierServiceWasRemoved) {
    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    fs::remove(bundle() / "kavo_core.exe");
    const ProgramRun second = install();
    EXPECT_EQ(second.exit_status, 1u) << second.error;
    EXPECT_FALSE(open_service());
    EXPECT_FALSE(fs::exists(service_root_));
    EXPECT_FALSE(fs::exists(identity_source()));
}

TEST_F(InstalledServiceTest, AServiceHeldOpenElsewhereBlocksRemovalAndTheNextInstall) {
    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    auto held = open_service();
    ASSERT_TRUE(held);

    // The uninstaller stops and deletes the service, then waits through its
    // 50 polls for the manager to forget it, which it cannot while we hold it.
    const auto before = std::chrono::steady_clock::now();
    const ProgramRun removal = uninstall();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(removal.exit_status, 1u) << removal.error;
    EXPECT_GE(waited, (SERVICE_POLL_LIMIT - 1) * SERVICE_POLL_INTERVAL);
    const auto state = held->query_state();
    ASSERT_TRUE(state) << state.error().text;
    EXPECT_EQ(*state, SERVICE_STATE_STOPPED);

    // Still marked for deletion: the next install is blocked.
    const ProgramRun blocked = install();
    EXPECT_EQ(blocked.exit_status, 2u) << blocked.error;
    EXPECT_FALSE(fs::exists(identity_source()));

    held->close();
    const ProgramRun removed = uninstall();
    EXPECT_EQ(removed.exit_status, 0u) << removed.error;
    EXPECT_FALSE(open_service());
}

TEST_F(InstalledServiceTest, StartedByHandWithoutAFlagTheDaemonSaysSoAndFails) {
    const ProgramRun run = run_program(bundle() / "kavo-daemon.exe", {});
    EXPECT_EQ(run.exit_status, 1u);
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(run.error.starts_with("Error: ")) << run.error;
    EXPECT_NE(run.error.find("(os error 1063)"), std::string::npos) << run.error;
    ASSERT_FALSE(run.error.empty());
    EXPECT_EQ(run.error.find('\n'), run.error.size() - 1) << run.error;
    EXPECT_FALSE(open_service());
}

// The installer runs elevated from wherever it was downloaded. Somebody's
// bcrypt.dll and bcryptprimitives.dll lying beside it are never loaded: it
// hashes the core and names its staging directory with the system's own, and
// so does kavo-ctl run from the same folder against the installed service.
TEST_F(InstalledServiceTest, SystemDllsPlantedBesideTheInstallerAreNeverLoaded) {
    testing::plant_system_dlls(bundle());
    fs::copy_file(bin_dir() / "kavo-ctl.exe", bundle() / "kavo-ctl.exe");
    const testing::PreferPlantedDlls installer_prefers_planted(L"kavo-daemon.exe");
    const testing::PreferPlantedDlls ctl_prefers_planted(L"kavo-ctl.exe");
    const ProgramRun installed = install();
    ASSERT_EQ(installed.exit_status, 0u) << installed.error;
    ASSERT_TRUE(running_service());

    const ProgramRun status = run_program(bundle() / "kavo-ctl.exe", {native_of("status")});
    ASSERT_EQ(status.exit_status, 0u) << status.output << status.error;
    const auto answer = answer_of(status);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(std::holds_alternative<IpcResponse::Status>(answer->value)) << status.output;
    EXPECT_EQ(testing::loaded_planted_dlls(bundle()), std::vector<std::string>{});
}

// A service whose installed identity is gone, or whose installed core is not
// the one it was installed with, stops by itself with its own code instead of
// lingering start-pending or running; its process ends, so uninstalling and
// installing again work without anybody ending it by hand. The failure
// actions are set at every install and never fail it: Wine's manager refuses
// part of them, which is then one line on the installer's standard error.
TEST_F(InstalledServiceTest, AServiceThatCannotStartReportsStoppedWithItsCode) {
    struct Case {
        const char* what;
        ServiceFailure failure;
        void (*spoil)(const fs::path& service_root);
    } cases[] = {
        {"identity removed", ServiceFailure::configuration,
         [](const fs::path& root) { fs::remove(root / "identity"); }},
        {"core replaced", ServiceFailure::core_check,
         [](const fs::path& root) { testing::write_file(root / "kavo_core.exe", "another core"); }},
    };
    for (const auto& c : cases) {
        const ProgramRun installed = install();
        ASSERT_EQ(installed.exit_status, 0u) << c.what << ": " << installed.error;
        EXPECT_EQ(installed.output, "") << c.what;
        EXPECT_LE(testing::lines_of(installed.error).size(), 1u)
            << c.what << ": " << installed.error;
        EXPECT_EQ(install_lines_besides_failure_actions(installed.error),
                  std::vector<std::string>{})
            << c.what;

        auto service = running_service();
        ASSERT_TRUE(service) << c.what;
        ASSERT_TRUE(service->send_stop()) << c.what;
        ASSERT_EQ(wait_for_state(*service, SERVICE_STATE_STOPPED), SERVICE_STATE_STOPPED) << c.what;
        const auto clean = service->exit_codes();
        ASSERT_TRUE(clean) << c.what << ": " << clean.error().text;
        EXPECT_EQ(*clean, ServiceExitCodes{}) << c.what << ": a stop control is no failure";

        c.spoil(service_root_);
        const auto started = service->start();
        // Windows answers the start once the service's entry runs. Wine's
        // manager waits for the service to leave start-pending, and calls a
        // service that stops from there a request timeout (1053) at once.
        if (!started) {
            ASSERT_TRUE(running_under_wine() && started.error().code == 1053)
                << c.what << ": " << started.error().text;
        }
        // Well within a second or two on an idle machine; the bound only
        // keeps a service that lingers from hanging the test.
        ASSERT_EQ(wait_for_state(*service, SERVICE_STATE_STOPPED), SERVICE_STATE_STOPPED) << c.what;
        const auto codes = service->exit_codes();
        ASSERT_TRUE(codes) << c.what << ": " << codes.error().text;
        EXPECT_EQ(codes->win32_exit_code, SERVICE_EXIT_SPECIFIC_ERROR) << c.what;
        EXPECT_EQ(codes->service_specific_exit_code, service_failure_code(c.failure)) << c.what;
        service->close();

        const ProgramRun removed = uninstall();
        EXPECT_EQ(removed.exit_status, 0u) << c.what << ": " << removed.error;
        EXPECT_FALSE(open_service()) << c.what;
        EXPECT_FALSE(fs::exists(service_root_)) << c.what;

        const ProgramRun again = install();
        ASSERT_EQ(again.exit_status, 0u) << c.what << ": " << again.error;
        EXPECT_TRUE(running_service()) << c.what;
        const ProgramRun cleared = uninstall();
        ASSERT_EQ(cleared.exit_status, 0u) << c.what << ": " << cleared.error;
    }
}

// On the Linux backend there is no service manager to install into.
TEST(ForegroundDaemonTest, InstallerFlagsSayThatInstallingNeedsWindows) {
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows daemon installs itself";
#else
    for (const std::string_view flag : {INSTALL_SERVICE_FLAG, UNINSTALL_SERVICE_FLAG}) {
        const ProgramRun run =
            run_program(bin_dir() / "kavo-daemon", {native_of(std::string(flag))});
        EXPECT_EQ(run.exit_status, 1u) << flag;
        EXPECT_EQ(run.output, "") << flag;
        EXPECT_EQ(run.error, std::string(SERVICE_MANAGER_UNAVAILABLE) + "\n") << flag;
    }
#endif
}

}  // namespace
}  // namespace kavo
