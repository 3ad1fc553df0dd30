// The real kavo-daemon as a child of a test, with a private ProgramData, the
// stand-in core beside it, and the real kavo-ctl to talk to it over the
// service's own pipe name.
#pragma once

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
#include <utility>
#include <vector>

#include "child_guard.h"
#include "core/lease.h"
#include "host/foreground_service.h"
#include "ipc/record_json.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_support.h"

namespace kavo::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view SECRET = "the identity of the daemon tests, 32+ bytes";

inline fs::path beside_tests(const char* name) {
    return fs::path(running_executable_path().value()).parent_path() / name;
}

inline std::string line_of(const IpcResponse& response) {
    return serialize(response) + "\n";
}

inline IpcResponse status_answer(bool running, const std::string& digest,
                                 std::optional<std::uint64_t> remaining) {
    return IpcResponse{IpcResponse::Status{running, "kavo_core.exe", 5u, "0.2.1", digest,
                                           remaining.has_value(), remaining}};
}

using CtlRun = ProgramRun;

// A daemon started by a test: its process, kept by the guard, and what it
// writes to standard error, read on a thread of its own until it ends.
class DaemonRun {
  public:
    DaemonRun(ChildGuard& guard, const SpawnOptions& options) {
        auto spawned = ChildProcess::spawn(options);
        EXPECT_TRUE(spawned) << (spawned ? "" : spawned.error().text);
        if (!spawned) {
            return;
        }
        child_ = &guard.add(std::move(spawned).value());
        reader_ = std::thread([errors = errors_, out = std::move(child_->standard_error()),
                               quiet = std::move(child_->standard_output())]() mutable {
            *errors = read_all(out);
            read_all(quiet);
        });
    }
    ~DaemonRun() {
        if (reader_.joinable()) {
            // The guard ends the daemon if the test did not.
            reader_.detach();
        }
    }
    DaemonRun(const DaemonRun&) = delete;
    DaemonRun& operator=(const DaemonRun&) = delete;

    ChildProcess* child() { return child_; }

    // The exit status once the daemon has ended, within the hang limit.
    std::optional<std::uint32_t> exit_status() {
        if (!child_) {
            return std::nullopt;
        }
        const bool ended = eventually([this] {
            const auto polled = child_->poll();
            return !polled || polled->has_value();
        });
        if (!ended) {
            return std::nullopt;
        }
        auto code = child_->wait();
        reader_.join();
        return code ? std::optional<std::uint32_t>(*code) : std::nullopt;
    }
    // All it wrote to standard error; only once it has ended.
    const std::string& errors() const { return *errors_; }

  private:
    ChildProcess* child_ = nullptr;
    std::shared_ptr<std::string> errors_ = std::make_shared<std::string>();
    std::thread reader_;
};

class DaemonFixture : public ::testing::Test, public Sandbox {
  protected:
    DaemonFixture() {
        write_core_dir("pid_file: pids\nstdout: up\n");
        write_file(identity_file(), "  " + std::string(SECRET) + "\n");
        const auto digest = bundled_core_digest(beside_tests("kavo_core").native());
        EXPECT_TRUE(digest) << digest.error();
        digest_ = digest ? *digest : std::string(64, '0');
    }

    fs::path identity_file() const { return path() / "identity"; }

    std::vector<NativeString> daemon_arguments() const {
        return {NativeString(KAVO_NATIVE("--core-dir")),
                core_dir().native(),
                NativeString(KAVO_NATIVE("--identity-file")),
                identity_file().native(),
                NativeString(KAVO_NATIVE("--expected-core-sha256")),
                utf8_to_native(digest_)};
    }

    // `environment` is set for the daemon on top of its private ProgramData.
    std::unique_ptr<DaemonRun> start_daemon(
        std::vector<NativeString> arguments,
        std::vector<std::pair<NativeString, NativeString>> environment = {}) {
        SpawnOptions options;
        options.program = beside_tests("kavo-daemon").native();
        options.arguments = std::move(arguments);
        options.environment = std::move(environment);
        options.environment.emplace_back(KAVO_NATIVE("ProgramData"), program_data().native());
        return std::make_unique<DaemonRun>(children_, options);
    }

    std::vector<NativeString> ctl_arguments(const std::vector<std::string>& command) const {
        std::vector<NativeString> arguments{NativeString(KAVO_NATIVE("--identity-file")),
                                            identity_file().native()};
        for (const auto& word : command) {
            arguments.push_back(utf8_to_native(word));
        }
        return arguments;
    }

    CtlRun ctl(const std::vector<std::string>& command) {
        return run_program(beside_tests("kavo-ctl"), ctl_arguments(command));
    }

    // A fresh lease from the daemon; empty (and a failure) otherwise.
    std::string acquire() {
        const CtlRun run = ctl({"acquire"});
        EXPECT_EQ(run.exit_status, 0u) << run.error;
        const std::string key = "\"lease_id\":\"";
        const auto at = run.output.find(key);
        if (at == std::string::npos) {
            ADD_FAILURE() << "no lease: " << run.output << run.error;
            return {};
        }
        const std::string id = run.output.substr(at + key.size(), 32);
        EXPECT_EQ(run.output, line_of(IpcResponse{IpcResponse::Lease{
                                  id, static_cast<std::uint64_t>(LEASE_DURATION.count())}}));
        return id;
    }

    std::string digest_;
    // Declared last: the daemons end before anything they use goes.
    ChildGuard children_;
};

}  // namespace kavo::testing
