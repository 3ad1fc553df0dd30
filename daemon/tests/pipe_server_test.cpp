// The pipe server in this process: its accept cycles on a loop run by
// several threads, real clients over a pipe name of each test's own, the
// real stand-in core found beside this test executable, a private
// ProgramData and, where the test moves time itself, a fake clock.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "async/blocking_pool.h"
#include "core/core_slot.h"
#include "core/lease.h"
#include "core/supervisor.h"
#include "host/pipe_server.h"
#include "host/stop_channel.h"
#include "ipc/client.h"
#include "ipc/client_records.h"
#include "ipc/frame_io.h"
#include "platform/os_error.h"
#include "platform/pipe_connect.h"
#include "platform/pipe_listener.h"
#include "platform/process_info.h"
#include "platform/secret.h"
#include "test_pipe_server.h"
#include "test_support.h"

namespace kavo {
namespace {

using testing::eventually;
using testing::lines_of;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view SECRET = "the identity secret of the pipe server tests, 32+ bytes";
// The stand-in writes its process id into this file of its runtime directory.
const std::string CORE_CONFIG = "pid_file: pids\nstdout: up\n";

using testing::as_optional;

asio::awaitable<Result<IpcResponse>> ask_service(std::string name, IpcRequest request) {
    auto connection = co_await connect_pipe(std::move(name));
    if (!connection) {
        co_return fail("connect: " + connection.error().error.text);
    }
    co_return co_await request_service(std::move(connection->stream), SecretBytes(SECRET),
                                       std::move(request));
}

std::string joined(std::string_view first, std::string_view second) {
    return std::string(first) + std::string(second);
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

const IpcRequest STATUS{IpcRequest::Status{}};
const IpcRequest ACQUIRE{IpcRequest::AcquireLease{}};
IpcRequest start(std::string id) {
    return IpcRequest{IpcRequest::StartCore{std::move(id)}};
}

// One run of the server: its stop channel's sending end, its completion and,
// once it returned, why it ended.
struct RunningServer {
    StopSender stop;
    std::future<PipeServerEnd> done;
    std::optional<PipeServerEnd> ended;

    bool returned(std::chrono::seconds limit = testing::HANG_LIMIT) {
        if (!ended && done.wait_for(limit) == std::future_status::ready) {
            ended = done.get();
        }
        return ended.has_value();
    }
};

class PipeServerTest : public ::testing::Test, public testing::Sandbox {
  protected:
    static constexpr int THREADS = 4;

    PipeServerTest() : Sandbox(true), work_(asio::make_work_guard(io_)) {
        write_core_dir(CORE_CONFIG);
        for (int i = 0; i < THREADS; ++i) {
            runners_.emplace_back([this] { io_.run(); });
        }
    }

    ~PipeServerTest() override {
        // A test that stopped half-way leaves its servers running.
        for (auto& server : servers_) {
            server.stop.send();
            if (!server.returned()) {
                ADD_FAILURE() << "a server did not return after its stop message";
                std::abort();
            }
        }
        if (capturing_) {
            ::testing::internal::GetCapturedStderr();
        }
        work_.reset();
        for (auto& runner : runners_) {
            runner.join();
        }
        pool_.join();
    }

    std::string standin_digest() {
        const auto core = locate_core_executable();
        EXPECT_TRUE(core) << core.error();
        const auto digest = core ? bundled_core_digest(*core) : Result<std::string>(fail("none"));
        EXPECT_TRUE(digest) << digest.error();
        return digest ? *digest : std::string();
    }

    ServiceConfig config(std::string expected_digest) const {
        return ServiceConfig{core_dir().native(), (path() / "identity").native(),
                             SecretBytes(SECRET), std::move(expected_digest)};
    }

    PipeServerOptions options(std::string name) {
        PipeServerOptions options;
        options.pipe_name = std::move(name);
        options.pool = &pool_;
        options.clock = clock_;
        return options;
    }

    RunningServer& serve(ServiceConfig config, PipeServerOptions options) {
        auto channel = StopChannel::create();
        auto done = asio::co_spawn(
            io_,
            run_pipe_server(std::move(channel.receiver), std::move(config), std::move(options)),
            asio::use_future);
        return servers_.emplace_back(RunningServer{channel.sender, std::move(done)});
    }

    // Everything the servers write to standard error from here on, until
    // server_lines().
    void capture_lines() {
        ::testing::internal::CaptureStderr();
        capturing_ = true;
    }
    std::vector<std::string> server_lines() {
        capturing_ = false;
        return lines_of(::testing::internal::GetCapturedStderr());
    }

    Result<IpcResponse> ask(const std::string& name, IpcRequest request) {
        auto answer = asio::co_spawn(io_, as_optional(ask_service(name, std::move(request))),
                                     asio::use_future);
        if (answer.wait_for(testing::HANG_LIMIT) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            std::abort();
        }
        return std::move(answer.get()).value();
    }

    IpcResponse::Status ask_status(const std::string& name) {
        auto response = ask(name, STATUS);
        const auto* fields =
            response ? std::get_if<IpcResponse::Status>(&response->value) : nullptr;
        if (!fields) {
            ADD_FAILURE() << "no status: " << (response ? "another answer" : response.error());
            return {};
        }
        return *fields;
    }

    std::string acquire_id(const std::string& name) {
        auto response = ask(name, ACQUIRE);
        const auto* lease = response ? std::get_if<IpcResponse::Lease>(&response->value) : nullptr;
        if (!lease) {
            ADD_FAILURE() << "no lease: " << (response ? "another answer" : response.error());
            return {};
        }
        return lease->lease_id;
    }

    // Whether a client finds no instance of `name` for as long as `limit`.
    std::future<std::optional<Result<PipeConnection, PipeConnectFailure>>> watch_for_instances(
        const std::string& name, std::chrono::milliseconds limit) {
        PipeRetryPolicy policy;
        policy.limit = limit;
        policy.pause = 5ms;
        return asio::co_spawn(io_, as_optional(connect_pipe(name, policy)), asio::use_future);
    }

    testing::FakeClock clock_;
    BlockingPool pool_;
    asio::io_context io_{THREADS};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> runners_;
    std::deque<RunningServer> servers_;
    bool capturing_ = false;
};

TEST(BundledCoreDigestTest, KnownContents) {
    testing::TempDir dir;
    const struct {
        const char* what;
        std::string content;
        std::string digest;
    } cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"short", "test", "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"},
        // Read in several pieces.
        {"a million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        testing::write_file(dir.path() / c.what, c.content);
        const auto digest = bundled_core_digest(dir.native(c.what));
        ASSERT_TRUE(digest) << c.what << ": " << digest.error();
        EXPECT_EQ(*digest, c.digest) << c.what;
    }
}

TEST_F(PipeServerTest, ServesClientsAndAStopEndsTheCore) {
    const std::string name = testing::unique_pipe_name();
    const std::string digest = standin_digest();
    capture_lines();
    RunningServer& server = serve(config(digest), options(name));

    // Clients at once, each on a connection of its own.
    std::vector<std::future<std::optional<Result<IpcResponse>>>> answers;
    for (int i = 0; i < 12; ++i) {
        answers.push_back(
            asio::co_spawn(io_, as_optional(ask_service(name, STATUS)), asio::use_future));
    }
    for (auto& answer : answers) {
        ASSERT_EQ(answer.wait_for(testing::HANG_LIMIT), std::future_status::ready);
        auto response = std::move(answer.get()).value();
        ASSERT_TRUE(response) << response.error();
        const auto* fields = std::get_if<IpcResponse::Status>(&response->value);
        ASSERT_NE(fields, nullptr);
        EXPECT_FALSE(fields->running);
        EXPECT_EQ(fields->core_sha256, digest) << "the digest of the start-up check";
    }

    const std::string id = acquire_id(name);
    ASSERT_FALSE(id.empty());
    auto started = ask(name, start(id));
    ASSERT_TRUE(started) << started.error();
    ASSERT_EQ(*started, IpcResponse{IpcResponse::Ok{}});
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(process_is_running(pid));
    EXPECT_TRUE(ask_status(name).running);

    server.stop.send();
    ASSERT_TRUE(server.returned());
    EXPECT_EQ(server.ended, PipeServerEnd::stopped);
    EXPECT_FALSE(process_is_running(pid)) << "the shutdown stops the core";
    EXPECT_FALSE(fs::exists(runtime_root() / id)) << "and removes its runtime directory";
    EXPECT_EQ(server_lines(), std::vector<std::string>{});

    auto after = watch_for_instances(name, 100ms);
    ASSERT_EQ(after.wait_for(testing::HANG_LIMIT), std::future_status::ready);
    auto connected = std::move(after.get()).value();
    EXPECT_FALSE(connected) << "nothing serves the name any more";
}

TEST_F(PipeServerTest, AFailedStartUpCheckOffersNoPipe) {
    const std::string digest = standin_digest();
    const fs::path elsewhere = path() / "elsewhere";
    fs::create_directories(elsewhere);
    testing::write_file(elsewhere / fs::path(CORE_EXECUTABLE_NAME), "a replaced core");
    const fs::path empty = path() / "empty";
    fs::create_directories(empty);

    using Locate = std::function<Result<NativeString>()>;
    const struct {
        const char* what;
        Locate locate;  // empty: the stand-in beside the tests
        std::string expected_digest;
        std::string line;
    } cases[] = {
        {"no core beside the daemon",
         [daemon = (empty / "kavo-daemon").native()] { return locate_core_executable(daemon); },
         digest, joined(VALIDATE_BUNDLED_CORE_FAILED, CORE_BINARY_UNAVAILABLE)},
        {"the core gone once located",
         [gone = (empty / fs::path(CORE_EXECUTABLE_NAME)).native()] {
             return Result<NativeString>(gone);
         },
         digest,
         joined(VALIDATE_BUNDLED_CORE_FAILED, joined(READ_BUNDLED_CORE_FAILED, os_error(2).text))},
        {"a replaced core",
         [daemon = (elsewhere / "kavo-daemon").native()] { return locate_core_executable(daemon); },
         digest, std::string(BUNDLED_CORE_HASH_MISMATCH)},
        {"the expected digest in upper case",
         {},
         upper(digest),
         std::string(BUNDLED_CORE_HASH_MISMATCH)},
    };
    for (const auto& c : cases) {
        // Left by an earlier run: swept before the check, whatever it finds.
        fs::create_directories(runtime_root() / std::string(32, 'e'));
        const std::string name = testing::unique_pipe_name();
        auto watcher = watch_for_instances(name, 500ms);
        PipeServerOptions server_options = options(name);
        server_options.locate_core = c.locate;
        capture_lines();
        RunningServer& server = serve(config(c.expected_digest), std::move(server_options));
        const bool returned = server.returned();
        const auto lines = server_lines();
        ASSERT_TRUE(returned) << c.what;
        EXPECT_EQ(server.ended, PipeServerEnd::core_check_failed) << c.what;
        EXPECT_EQ(lines, std::vector<std::string>{c.line}) << c.what;
        EXPECT_FALSE(fs::exists(runtime_root() / std::string(32, 'e'))) << c.what;

        ASSERT_EQ(watcher.wait_for(testing::HANG_LIMIT), std::future_status::ready) << c.what;
        auto connected = std::move(watcher.get()).value();
        ASSERT_FALSE(connected) << c.what << ": a client found a pipe";
        EXPECT_TRUE(pipe_instance_absent(connected.error().error))
            << c.what << ": " << connected.error().error.text;
    }
}

TEST_F(PipeServerTest, ASecondServerOfTheNameGivesUpAndTheFirstServesOn) {
    if (!first_instance_is_enforced()) {
        GTEST_SKIP() << "this system does not refuse a second server of a pipe name; the "
                        "transport tests check that only the first instance asks for it";
    }
    const std::string name = testing::unique_pipe_name();
    const std::string digest = standin_digest();
    serve(config(digest), options(name));
    EXPECT_EQ(ask_status(name).core_sha256, digest) << "the first serves";

    capture_lines();
    RunningServer& second = serve(config(digest), options(name));
    const bool returned = second.returned();
    const auto lines = server_lines();
    ASSERT_TRUE(returned);
    EXPECT_EQ(second.ended, PipeServerEnd::first_pipe_failed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(CREATE_PIPE_FAILED, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("(os error "), std::string::npos) << "the system's text follows";

    EXPECT_EQ(ask_status(name).core_sha256, digest) << "the first still serves";
}

TEST_F(PipeServerTest, AnExpiredLeaseIsReclaimedByTheNextCycle) {
    const std::string name = testing::unique_pipe_name();
    capture_lines();
    serve(config(standin_digest()), options(name));
    const std::string id = acquire_id(name);
    ASSERT_FALSE(id.empty());
    auto started = ask(name, start(id));
    ASSERT_TRUE(started && *started == IpcResponse{IpcResponse::Ok{}});
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);

    // Every cycle that finds the slot free reclaims; one that finds a
    // request in it leaves the reclaim to the next.
    clock_.advance(LEASE_DURATION - 1ns);
    for (int i = 0; i < 2; ++i) {
        const auto fields = ask_status(name);
        EXPECT_TRUE(fields.running) << "not yet expired";
        EXPECT_TRUE(fields.lease_active);
    }
    EXPECT_TRUE(process_is_running(pid));

    clock_.advance(1ns);  // expires at exactly now
    ASSERT_TRUE(eventually([&] { return !process_is_running(pid); }));
    const auto fields = ask_status(name);
    EXPECT_FALSE(fields.running);
    EXPECT_FALSE(fields.lease_active);
    EXPECT_EQ(fields.lease_expires_in_seconds, std::nullopt) << "the lease is cleared";
    EXPECT_TRUE(eventually([&] { return !fs::exists(runtime_root() / id); }));

    const std::string next = acquire_id(name);
    EXPECT_FALSE(next.empty());
    EXPECT_NE(next, id);
    EXPECT_EQ(server_lines(), std::vector<std::string>{});
}

// The only test that waits for a lease on the real clock.
TEST_F(PipeServerTest, AnExpiredLeaseIsReclaimedOnTheRealClock) {
    const std::string name = testing::unique_pipe_name();
    PipeServerOptions server_options = options(name);
    server_options.clock = std::chrono::steady_clock::now;
    serve(config(standin_digest()), std::move(server_options));

    const auto asked = std::chrono::steady_clock::now();
    const std::string id = acquire_id(name);
    ASSERT_FALSE(id.empty());
    auto started = ask(name, start(id));
    ASSERT_TRUE(started && *started == IpcResponse{IpcResponse::Ok{}});
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);

    ASSERT_TRUE(
        eventually([&] { return !process_is_running(pid); }, LEASE_DURATION + testing::HANG_LIMIT));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, LEASE_DURATION)
        << "reclaimed before the lease ran out";
    EXPECT_TRUE(eventually([&] { return !fs::exists(runtime_root() / id); }));
    const auto fields = ask_status(name);
    EXPECT_FALSE(fields.lease_active);
    EXPECT_EQ(fields.lease_expires_in_seconds, std::nullopt);
    EXPECT_FALSE(acquire_id(name).empty());
}

TEST_F(PipeServerTest, AStopDuringAStartWaitsForItThenStopsItsCore) {
    const std::string name = testing::unique_pipe_name();
    capture_lines();
    RunningServer& server = serve(config(standin_digest()), options(name));
    const std::string id = acquire_id(name);
    ASSERT_FALSE(id.empty());

    auto starting =
        asio::co_spawn(io_, as_optional(ask_service(name, start(id))), asio::use_future);
    // The core writes its pid file as it comes up, inside the start's
    // watch, while the start holds the slot.
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);
    server.stop.send();

    ASSERT_EQ(starting.wait_for(testing::HANG_LIMIT), std::future_status::ready);
    auto answer = std::move(starting.get()).value();
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_EQ(*answer, IpcResponse{IpcResponse::Ok{}}) << "the start finished first";
    ASSERT_TRUE(server.returned());
    EXPECT_FALSE(process_is_running(pid)) << "then the shutdown stopped its core";
    EXPECT_FALSE(fs::exists(runtime_root() / id));
    EXPECT_EQ(server_lines(), std::vector<std::string>{});
}

// A reclaim that fails as a real one does: the flag set under the lock and
// the core left where it was. Later cycles run the real reclaim, which does
// nothing while the flag stays set.
TEST_F(PipeServerTest, AFailedReclaimIsReportedOnceThenStaysQuiet) {
    const std::string name = testing::unique_pipe_name();
    struct Counts {
        std::atomic<int> calls{0};
        std::atomic<int> failed_at{0};
    };
    auto counts = std::make_shared<Counts>();
    PipeServerOptions server_options = options(name);
    server_options.accept_wait = 20ms;
    server_options.reclaim = [counts](CoreSlot::Access& access) -> asio::awaitable<Result<void>> {
        const int call = ++counts->calls;
        if (counts->failed_at == 0 && access.lease().reclaim_due(access.now())) {
            access.mark_stuck();
            counts->failed_at = call;
            co_return fail(std::string(STOP_EXPIRED_CORE_FAILED));
        }
        co_return co_await reclaim_expired_lease(access);
    };
    capture_lines();
    RunningServer& server = serve(config(standin_digest()), std::move(server_options));
    const std::string id = acquire_id(name);
    ASSERT_FALSE(id.empty());
    auto started = ask(name, start(id));
    ASSERT_TRUE(started && *started == IpcResponse{IpcResponse::Ok{}});
    const std::uint32_t pid = core_pid(id);
    ASSERT_NE(pid, 0u);

    clock_.advance(LEASE_DURATION);
    ASSERT_TRUE(eventually([&] { return counts->failed_at != 0; }));
    const int failed_at = counts->failed_at;
    ASSERT_TRUE(eventually([&] { return counts->calls >= failed_at + 10; }));
    EXPECT_TRUE(process_is_running(pid)) << "the core stays while the stop is pending";
    EXPECT_TRUE(ask_status(name).running);

    server.stop.send();
    ASSERT_TRUE(server.returned());
    EXPECT_EQ(server_lines(), std::vector<std::string>{
                                  joined(RECLAIM_EXPIRED_LEASE_FAILED, STOP_EXPIRED_CORE_FAILED)});
    EXPECT_FALSE(process_is_running(pid)) << "the shutdown stops it whatever the flag says";
    EXPECT_FALSE(fs::exists(runtime_root() / id));
}

// A locate that keeps a start inside it, and so the start inside its hold of
// the slot, until the test lets it go. It runs on the blocking pool.
class HeldLocate {
  public:
    Result<NativeString> operator()() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
        lock.unlock();
        return locate_core_executable();
    }
    bool entered() {
        std::lock_guard lock(mutex_);
        return entered_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

// Connects and reads the challenge, nothing more; the challenge's id, or
// why there is none.
asio::awaitable<Result<std::string>> challenge_only(std::string name) {
    auto connection = co_await connect_pipe(std::move(name));
    if (!connection) {
        co_return fail("connect: " + connection.error().error.text);
    }
    auto body = co_await read_frame(connection->stream, testing::HANG_LIMIT);
    if (!body) {
        co_return fail(std::string("no challenge"));
    }
    auto challenge = parse_challenge(*body);
    if (!challenge) {
        co_return fail("not a challenge: " + challenge.error());
    }
    co_return challenge->challenge_id;
}

// The accept cycle never waits behind a request: while a start holds the
// slot, one client after another is accepted and challenged, each in a cycle
// of its own (every accepted client needs the next instance, created in the
// cycle that accepted it).
TEST_F(PipeServerTest, ClientsAreChallengedWhileAStartHoldsTheSlot) {
    const std::string name = testing::unique_pipe_name();
    auto held = std::make_shared<HeldLocate>();
    PipeServerOptions server_options = options(name);
    server_options.start_hooks.locate = [held] { return (*held)(); };
    capture_lines();
    RunningServer& server = serve(config(standin_digest()), std::move(server_options));
    // Whatever happens below, the start is let go before the server stops.
    struct Release {
        std::shared_ptr<HeldLocate> held;
        ~Release() { held->release(); }
    } release{held};

    const std::string id = acquire_id(name);
    ASSERT_FALSE(id.empty());
    auto starting =
        asio::co_spawn(io_, as_optional(ask_service(name, start(id))), asio::use_future);
    ASSERT_TRUE(eventually([&] { return held->entered(); })) << "the start never began";

    std::set<std::string> challenges;
    for (int i = 0; i < 3; ++i) {
        auto challenged = asio::co_spawn(io_, as_optional(challenge_only(name)), asio::use_future);
        ASSERT_EQ(challenged.wait_for(testing::HANG_LIMIT), std::future_status::ready)
            << "client " << i << " waited behind the start";
        auto id_seen = std::move(challenged.get()).value();
        ASSERT_TRUE(id_seen) << "client " << i << ": " << id_seen.error();
        challenges.insert(*id_seen);
    }
    EXPECT_EQ(challenges.size(), 3u);
    EXPECT_EQ(starting.wait_for(0s), std::future_status::timeout)
        << "the start was still in its hold all along";

    held->release();
    ASSERT_EQ(starting.wait_for(testing::HANG_LIMIT), std::future_status::ready);
    auto answer = std::move(starting.get()).value();
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_EQ(*answer, IpcResponse{IpcResponse::Ok{}});
    const std::uint32_t pid = core_pid(id);
    server.stop.send();
    ASSERT_TRUE(server.returned());
    if (pid != 0) {
        EXPECT_FALSE(process_is_running(pid));
    }
    EXPECT_EQ(server_lines(), std::vector<std::string>{});
}

// Instance creation that fails on the attempts the test names, with an error
// of the system's own; every other attempt creates a real instance. Records
// when each attempt came.
struct FailingCreates {
    std::set<int> failing;
    std::uint32_t code = 0;
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> attempts;

    std::size_t attempted() {
        std::lock_guard lock(mutex);
        return attempts.size();
    }
};

CreateInstanceOperation failing_on(std::shared_ptr<FailingCreates> plan) {
    return [plan](PipeEndpoint& endpoint) -> OsResult<PipeInstance> {
        int attempt = 0;
        {
            std::lock_guard lock(plan->mutex);
            plan->attempts.push_back(std::chrono::steady_clock::now());
            attempt = static_cast<int>(plan->attempts.size());
        }
        if (plan->failing.count(attempt) != 0) {
            return fail(os_error(plan->code));
        }
        return endpoint.create_instance();
    };
}

// Some error the system has a text for; which one does not matter.
constexpr std::uint32_t INJECTED_ERROR = 5;

TEST_F(PipeServerTest, AFirstInstanceThatCannotBeCreatedEndsTheServer) {
    const std::string name = testing::unique_pipe_name();
    auto plan = std::make_shared<FailingCreates>();
    plan->failing = {1};
    plan->code = INJECTED_ERROR;
    PipeServerOptions server_options = options(name);
    server_options.create_instance = failing_on(plan);
    capture_lines();
    RunningServer& server = serve(config(standin_digest()), std::move(server_options));
    const bool returned = server.returned();
    const auto lines = server_lines();
    ASSERT_TRUE(returned);
    EXPECT_EQ(server.ended, PipeServerEnd::first_pipe_failed);
    EXPECT_EQ(lines,
              std::vector<std::string>{joined(CREATE_PIPE_FAILED, os_error(INJECTED_ERROR).text)});
    EXPECT_EQ(plan->attempted(), 1u) << "no second attempt";
}

// After a client took the only instance, the next one cannot be created for
// a while, twice over. Each run of failures is one line; the server tries
// again every cycle, each cycle taking its full wait; and every client is
// served, the one whose connection came just before the failure included.
TEST_F(PipeServerTest, ALaterInstanceThatCannotBeCreatedIsWrittenOnceAndTriedAgain) {
    const std::string name = testing::unique_pipe_name();
    auto plan = std::make_shared<FailingCreates>();
    // 1: the first instance. 2: after the first client, then twice more.
    // 6: after the second client, then once more.
    plan->failing = {2, 3, 4, 6, 7};
    plan->code = INJECTED_ERROR;
    PipeServerOptions server_options = options(name);
    server_options.accept_wait = 50ms;
    server_options.create_instance = failing_on(plan);
    const std::string digest = standin_digest();
    capture_lines();
    RunningServer& server = serve(config(digest), std::move(server_options));

    for (int client = 0; client < 3; ++client) {
        EXPECT_EQ(ask_status(name).core_sha256, digest) << "client " << client;
    }
    // The third client's connection needs the eighth attempt's instance.
    ASSERT_GE(plan->attempted(), 8u);
    server.stop.send();
    ASSERT_TRUE(server.returned());
    EXPECT_EQ(server.ended, PipeServerEnd::stopped) << "later failures do not end the server";

    const std::string line = joined(CREATE_PIPE_FAILED, os_error(INJECTED_ERROR).text);
    EXPECT_EQ(server_lines(), (std::vector<std::string>{line, line}));
    // A failure right after a client is tried again at the top of the next
    // cycle (attempts 3 and 7); a cycle that still has no instance then
    // takes its whole wait before the next try (attempts 4, 5 and 8).
    std::lock_guard lock(plan->mutex);
    for (std::size_t retry : {4u, 5u, 8u}) {
        EXPECT_GE(plan->attempts[retry - 1] - plan->attempts[retry - 2], 45ms)
            << "attempt " << retry << " came without a wait";
    }
}

}  // namespace
}  // namespace kavo
