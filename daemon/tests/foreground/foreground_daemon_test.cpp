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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_guard.h"
#include "ctl/ctl_run.h"
#include "host/foreground_service.h"
#include "host/pipe_server.h"
#include "host/service_config.h"
#include "ipc/lease_rules.h"
#include "ipc/record_json.h"
#include "ipc/request_handler.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view SECRET = "the identity of the foreground daemon tests, 32+ bytes";

bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + testing::HANG_LIMIT;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string read_all(std::optional<PipeReader>& reader) {
    std::string all;
    char buffer[4096];
    while (reader) {
        auto got = reader->read(buffer);
        if (!got || *got == 0) {
            break;
        }
        all.append(buffer, *got);
    }
    return all;
}

fs::path beside_tests(const char* name) {
    return fs::path(running_executable_path().value()).parent_path() / name;
}

std::string line_of(const IpcResponse& response) {
    return serialize(response) + "\n";
}

IpcResponse status_answer(bool running, const std::string& digest,
                          std::optional<std::uint64_t> remaining) {
    return IpcResponse{IpcResponse::Status{running, "kavo_core.exe", 5u, "0.2.1", digest,
                                           remaining.has_value(), remaining}};
}

struct CtlRun {
    std::uint32_t exit_status = 255;
    std::string output;
    std::string error;
};

// A daemon started by a test: its process, kept by the guard, and what it
// writes to standard error, read on a thread of its own until it ends.
class DaemonRun {
  public:
    DaemonRun(testing::ChildGuard& guard, const SpawnOptions& options) {
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

class ForegroundDaemonTest : public ::testing::Test {
  protected:
    ForegroundDaemonTest() {
        fs::create_directories(core_dir());
        testing::write_file(core_dir() / "config.yaml", "pid_file: pids\nstdout: up\n");
        testing::write_file(core_dir() / "GeoSite.dat", "geosite");
        testing::write_file(core_dir() / "geoip.metadb", "geoip");
        testing::write_file(identity_file(), "  " + std::string(SECRET) + "\n");
        const auto digest = bundled_core_digest(beside_tests("kavo_core").native());
        EXPECT_TRUE(digest) << digest.error();
        digest_ = digest ? *digest : std::string(64, '0');
    }

    fs::path program_data() const { return dir_.path() / "ProgramData"; }
    fs::path core_dir() const { return dir_.path() / "core"; }
    fs::path identity_file() const { return dir_.path() / "identity"; }
    fs::path runtime_root() const { return program_data() / "KAVO" / "Service" / "Runtime"; }

    std::set<std::string> runtime_entries() const {
        std::set<std::string> names;
        if (fs::exists(runtime_root())) {
            for (const auto& entry : fs::directory_iterator(runtime_root())) {
                names.insert(entry.path().filename().string());
            }
        }
        return names;
    }

    std::vector<NativeString> daemon_arguments() const {
        return {NativeString(KAVO_NATIVE("--core-dir")),
                core_dir().native(),
                NativeString(KAVO_NATIVE("--identity-file")),
                identity_file().native(),
                NativeString(KAVO_NATIVE("--expected-core-sha256")),
                utf8_to_native(digest_)};
    }

    std::unique_ptr<DaemonRun> start_daemon(std::vector<NativeString> arguments) {
        SpawnOptions options;
        options.program = beside_tests("kavo-daemon").native();
        options.arguments = std::move(arguments);
        options.environment.emplace_back(KAVO_NATIVE("ProgramData"), program_data().native());
        return std::make_unique<DaemonRun>(children_, options);
    }

    CtlRun ctl(std::vector<std::string> command) {
        SpawnOptions options;
        options.program = beside_tests("kavo-ctl").native();
        options.arguments = {NativeString(KAVO_NATIVE("--identity-file")),
                             identity_file().native()};
        for (const auto& word : command) {
            options.arguments.push_back(utf8_to_native(word));
        }
        CtlRun run;
        auto child = ChildProcess::spawn(options);
        EXPECT_TRUE(child) << (child ? "" : child.error().text);
        if (!child) {
            return run;
        }
        run.output = read_all(child->standard_output());
        run.error = read_all(child->standard_error());
        const auto code = child->wait();
        run.exit_status = code ? *code : 255;
        return run;
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

    // The stand-in's process id from its pid file; 0 (and a failure) if none.
    std::uint32_t core_pid(const std::string& lease_id) {
        const fs::path file = runtime_root() / lease_id / "pids";
        std::uint32_t pid = 0;
        EXPECT_TRUE(eventually([&] {
            if (!fs::exists(file)) {
                return false;
            }
            std::istringstream in(testing::read_file(file));
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("core ", 0) == 0) {
                    pid = static_cast<std::uint32_t>(std::stoul(line.substr(5)));
                }
            }
            return pid != 0;
        })) << "the stand-in wrote no pid file";
        return pid;
    }

    testing::TempDir dir_;
    std::string digest_;
    // Declared last: the daemons end before anything they use goes.
    testing::ChildGuard children_;
};

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
    missing_identity[3] = (dir_.path() / "no-identity").native();
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

// Nothing of the daemon runs any more, yet the core is not left behind; the
// next daemon sweeps the runtime directory that the killed one could not.
TEST_F(ForegroundDaemonTest, ADaemonKilledOutrightTakesItsCoreAlong) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    const std::string id = acquire();
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(ctl({"start", id}).exit_status, 0u);
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);

    ASSERT_TRUE(daemon->child()->terminate(1));
    ASSERT_TRUE(daemon->exit_status().has_value());
    EXPECT_TRUE(eventually([&] { return !process_is_running(pid); })) << "the core outlived it";
    EXPECT_EQ(runtime_entries(), std::set<std::string>{id});

    auto next = start_daemon(daemon_arguments());
    const CtlRun status = ctl({"status"});
    EXPECT_EQ(status.exit_status, 0u) << status.error;
    EXPECT_EQ(status.output, line_of(status_answer(false, digest_, std::nullopt)));
    EXPECT_EQ(runtime_entries(), std::set<std::string>{});
    ASSERT_TRUE(next->child()->interrupt());
    EXPECT_EQ(next->exit_status(), std::optional<std::uint32_t>(0));
}

// kavo-ctl run holds a lease and a running core until it is interrupted,
// then gives both back: what an operator sees from it, and what the daemon
// says afterwards.
TEST_F(ForegroundDaemonTest, KavoCtlRunHoldsTheCoreUntilInterrupted) {
    auto daemon = start_daemon(daemon_arguments());
    ASSERT_NE(daemon->child(), nullptr);
    SpawnOptions options;
    options.program = beside_tests("kavo-ctl").native();
    options.arguments = {NativeString(KAVO_NATIVE("--identity-file")), identity_file().native(),
                         NativeString(KAVO_NATIVE("run"))};
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
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
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
