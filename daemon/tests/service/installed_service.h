// The real kavo-daemon.exe installed under the real service control manager
// (Wine's, for the Windows build) by tests: a bundle to install from, the
// installer and uninstaller as children, kavo-ctl to talk to the service, and
// where the service keeps what it makes.
#pragma once

#include <gtest/gtest.h>

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
#include "core/runtime_staging.h"
#include "install/service_install.h"
#include "install/service_registration.h"
#include "install/service_removal.h"
#include "ipc/client_records.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "platform/service_manager.h"
#include "platform/utf.h"
#include "program/program_mode.h"
#include "service/earlier_install.h"
#include "service/service_config.h"
#include "test_support.h"

namespace kavo::service_testing {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

inline const std::string IDENTITY = "the installed service identity, 46 bytes long.";
// The stand-in core prints a line with a credential in it, which the core
// log must only ever hold redacted.
inline const std::string CREDENTIAL_LINE = "token=planted-credential next";
// Far beyond what starting or stopping the service takes; only there so that
// a broken service fails the test instead of hanging it.
inline constexpr seconds STATE_DEADLINE{60};

using testing::answer_of;
using testing::ProgramRun;
using testing::record_of;
using testing::run_program;

// What an install wrote on standard error besides the refusal of the
// failure actions, which Wine's manager always refuses in part.
inline std::vector<std::string> install_lines_besides_failure_actions(const std::string& error) {
    std::vector<std::string> rest;
    for (const std::string& line : testing::lines_of(error)) {
        if (!line.starts_with(SET_FAILURE_ACTIONS_FAILED) &&
            !line.starts_with(SET_FAILURE_ACTIONS_FLAG_FAILED)) {
            rest.push_back(line);
        }
    }
    return rest;
}

inline fs::path bin_dir() {
    return fs::path(running_executable_path().value()).parent_path();
}

inline NativeString native_of(const std::string& text) {
    return utf8_to_native(text);
}

class InstalledServiceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
#if !defined(_WIN32)
        GTEST_SKIP() << "the service control manager exists only on Windows";
#else
        auto manager = ServiceManager::open(SCM_ACCESS_CONNECT);
        ASSERT_TRUE(manager) << manager.error().text;
        manager_.emplace(std::move(*manager));
        auto root = service_root_dir();
        ASSERT_TRUE(root) << root.error();
        service_root_ = *root;
        const auto clean = remove_earlier_install();
        ASSERT_TRUE(clean) << clean.error();

        fs::create_directories(bundle());
        fs::copy_file(bin_dir() / "kavo-daemon.exe", bundle() / "kavo-daemon.exe");
        fs::copy_file(bin_dir() / "kavo_core.exe", bundle() / "kavo_core.exe");
        const auto digest = file_sha256_hex((bundle() / "kavo_core.exe").native());
        ASSERT_TRUE(digest) << digest.error();
        core_digest_ = *digest;
        testing::write_core_dir(core_dir(), "stdout: " + CREDENTIAL_LINE + "\npid_file: pids\n");
#endif
    }

    void TearDown() override {
        if (manager_) {
            static_cast<void>(remove_earlier_install());
        }
    }

    fs::path bundle() const {
        return dir_.path() / "bundle";
    }
    fs::path core_dir() const {
        return dir_.path() / "core dir";
    }
    fs::path identity_source() const {
        return dir_.path() / "identity source";
    }

    // The installer's arguments: the core directory, `identity` and `hash`.
    std::vector<NativeString> install_arguments(const fs::path& identity,
                                                const std::string& hash) const {
        return {native_of(std::string(INSTALL_SERVICE_FLAG)),
                native_of(std::string(CORE_DIR_OPTION)),
                core_dir().native(),
                native_of(std::string(IDENTITY_FILE_OPTION)),
                identity.native(),
                native_of(std::string(EXPECTED_CORE_SHA256_OPTION)),
                native_of(hash)};
    }

    // kavo-daemon.exe --install-service with the bundle's core digest or
    // `hash`, from a freshly written identity source.
    ProgramRun install(std::optional<std::string> hash = std::nullopt) {
        testing::write_file(identity_source(), "\t" + IDENTITY + "\r\n");
        return run_program(bundle() / "kavo-daemon.exe",
                           install_arguments(identity_source(), hash.value_or(core_digest_)));
    }

    ProgramRun uninstall() {
        return run_program(bundle() / "kavo-daemon.exe",
                           {native_of(std::string(UNINSTALL_SERVICE_FLAG))});
    }

    ProgramRun ctl(const std::vector<std::string>& arguments) {
        std::vector<NativeString> native;
        for (const auto& argument : arguments) {
            native.push_back(native_of(argument));
        }
        return run_program(bin_dir() / "kavo-ctl.exe", native);
    }

    std::optional<Service> open_service() const {
        auto opened = manager_->open_service(SERVICE_NAME, SERVICE_ACCESS_ALL);
        if (!opened) {
            EXPECT_EQ(opened.error().code, SCM_ERROR_SERVICE_DOES_NOT_EXIST) << opened.error().text;
            return std::nullopt;
        }
        return std::move(*opened);
    }

    // The installed service once it runs; nothing (and a failure) otherwise.
    std::optional<Service> running_service() const {
        auto service = open_service();
        EXPECT_TRUE(service) << "not installed";
        if (service && wait_for_state(*service, SERVICE_STATE_RUNNING) != SERVICE_STATE_RUNNING) {
            ADD_FAILURE() << "not running";
            return std::nullopt;
        }
        return service;
    }

    // Polls the state until it is `state`; the last state seen.
    std::uint32_t wait_for_state(const Service& service, std::uint32_t state) const {
        const auto deadline = std::chrono::steady_clock::now() + STATE_DEADLINE;
        std::uint32_t seen = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto current = service.query_state();
            if (!current) {
                ADD_FAILURE() << current.error().text;
                return 0;
            }
            seen = *current;
            if (seen == state) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
        return seen;
    }

    // Where the service keeps the runtime directory of `lease_id`. Under Wine
    // a service's environment names the public profile (C:\users\Public) as
    // ProgramData instead of the C:\ProgramData that every other process
    // sees, so the service runs its cores there, while the installer, which
    // runs in our environment, fills C:\ProgramData.
    std::vector<fs::path> runtime_dir_candidates(const std::string& lease_id) const {
        std::vector<fs::path> candidates{service_root_ / "Runtime" / lease_id};
        if (running_under_wine()) {
            if (const char* public_profile = std::getenv("PUBLIC")) {
                candidates.push_back(fs::path(public_profile) / "KAVO" / "Service" / "Runtime" /
                                     lease_id);
            }
        }
        return candidates;
    }

    // Where the service itself makes its runtime directories: the public
    // profile's folder under Wine (see above), the service root's elsewhere.
    fs::path service_runtime_root() const {
        if (running_under_wine()) {
            if (const char* public_profile = std::getenv("PUBLIC")) {
                return fs::path(public_profile) / "KAVO" / "Service" / "Runtime";
            }
        }
        return service_root_ / "Runtime";
    }

    std::set<std::string> service_root_entries() const {
        return testing::entries_of(service_root_);
    }

    testing::TempDir dir_;
    std::optional<ServiceManager> manager_;
    fs::path service_root_;
    std::string core_digest_;
};

}  // namespace kavo::service_testing
