// The six requests end to end: a client over a real OS stream, the connection
// task on the daemon's side, the real stand-in core (found beside this test
// executable, steered by its staged config.yaml), a private ProgramData and a
// slot on a fake clock. The exchanges run on a loop driven by one thread and
// by several; the interleavings of acquires are driven step by step on one.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "async/blocking_pool.h"
#include "core/core_slot.h"
#include "core/lease.h"
#include "core/runtime_staging.h"
#include "core/supervisor.h"
#include "ipc/client.h"
#include "ipc/connection_task.h"
#include "ipc/lease_answers.h"
#include "ipc/request_handler.h"
#include "platform/local_stream.h"
#include "platform/secret.h"
#include "test_support.h"

namespace kavo {
namespace {

using testing::eventually;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view SECRET = "the identity secret, thirty-two bytes or more";
const std::string DIGEST = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

using testing::as_optional;

using testing::error_of;

const IpcResponse OK{IpcResponse::Ok{}};

IpcResponse error(std::string_view message) {
    return IpcResponse{IpcResponse::Error{std::string(message)}};
}

IpcRequest acquire() {
    return IpcRequest{IpcRequest::AcquireLease{}};
}
IpcRequest renew(std::string id) {
    return IpcRequest{IpcRequest::RenewLease{std::move(id)}};
}
IpcRequest release(std::string id) {
    return IpcRequest{IpcRequest::ReleaseLease{std::move(id)}};
}
IpcRequest start(std::string id) {
    return IpcRequest{IpcRequest::StartCore{std::move(id)}};
}
IpcRequest stop(std::string id) {
    return IpcRequest{IpcRequest::StopCore{std::move(id)}};
}
IpcRequest status() {
    return IpcRequest{IpcRequest::Status{}};
}

bool is_protocol_id(const std::string& id) {
    return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A private ProgramData, a core directory with the runtime files, and a slot
// on a fake monotonic clock that only the test moves.
class SlotFixture : public testing::Sandbox {
  public:
    explicit SlotFixture(std::size_t pool_threads = MAX_BLOCKING_THREADS)
        : Sandbox(true), pool_(pool_threads), slot_(CoreSlot::create(pool_, clock_)) {}

    fs::path runtime_dir(const std::string& lease_id) const { return runtime_root() / lease_id; }

    RequestContext context() const { return {core_dir().native(), DIGEST, slot_}; }

  protected:
    // Its reads are the slot's.
    testing::FakeClock clock_;
    BlockingPool pool_;
    std::shared_ptr<CoreSlot> slot_;
};

// Exchanges over a real stream pair, on a loop run by GetParam() threads
// for the whole test.
class RequestsTest : public ::testing::TestWithParam<int>, public SlotFixture {
  protected:
    RequestsTest() : io_(GetParam()), work_(asio::make_work_guard(io_)) {
        for (int i = 0; i < GetParam(); ++i) {
            runners_.emplace_back([this] { io_.run(); });
        }
    }

    ~RequestsTest() override {
        work_.reset();
        for (auto& runner : runners_) {
            runner.join();
        }
        // The slot goes (ending a core it still holds) before the pool.
        slot_.reset();
        pool_.join();
    }

    // One connection, one request: the daemon's connection task and the
    // client are both started detached, and own what they use.
    IpcResponse ask(IpcRequest request) {
        auto pair = make_local_stream_pair(io_.get_executor());
        if (!pair) {
            ADD_FAILURE() << pair.error();
            return error("<no stream>");
        }
        asio::co_spawn(io_,
                       run_connection(std::move(pair->server), core_dir().native(),
                                      SecretBytes(SECRET), DIGEST, slot_),
                       asio::detached);
        auto answer =
            asio::co_spawn(io_,
                           as_optional(request_service(std::move(pair->client), SecretBytes(SECRET),
                                                       std::move(request))),
                           asio::use_future);
        if (answer.wait_for(testing::HANG_LIMIT) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            std::abort();
        }
        auto response = std::move(answer.get()).value();
        if (!response) {
            ADD_FAILURE() << response.error();
            return error("<no response>");
        }
        return std::move(response).value();
    }

    // A granted lease's id; empty (and a failure) otherwise.
    std::string acquire_id() {
        const IpcResponse response = ask(acquire());
        const auto* lease = std::get_if<IpcResponse::Lease>(&response.value);
        if (!lease) {
            ADD_FAILURE() << "no lease: " << error_of(response);
            return {};
        }
        return lease->lease_id;
    }

    IpcResponse::Status ask_status() {
        const IpcResponse response = ask(status());
        const auto* fields = std::get_if<IpcResponse::Status>(&response.value);
        if (!fields) {
            ADD_FAILURE() << "no status: " << error_of(response);
            return {};
        }
        return *fields;
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> runners_;
};

INSTANTIATE_TEST_SUITE_P(Threads, RequestsTest, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "threads_" + std::to_string(info.param);
                         });

TEST_P(RequestsTest, OneLeaseAtATime) {
    const IpcResponse first = ask(acquire());
    const auto* lease = std::get_if<IpcResponse::Lease>(&first.value);
    ASSERT_NE(lease, nullptr) << error_of(first);
    EXPECT_TRUE(is_protocol_id(lease->lease_id)) << lease->lease_id;
    EXPECT_EQ(lease->expires_in_seconds, 30u);

    EXPECT_EQ(ask(acquire()), error(LEASE_OWNED_BY_ANOTHER_CLIENT));

    // Once released, it is anyone's, under a new id.
    EXPECT_EQ(ask(release(lease->lease_id)), OK);
    const std::string next = acquire_id();
    EXPECT_TRUE(is_protocol_id(next));
    EXPECT_NE(next, lease->lease_id);
}

TEST_P(RequestsTest, RenewalAndRemainingTime) {
    const std::string id = acquire_id();
    ASSERT_FALSE(id.empty());
    struct Step {
        const char* what;
        std::chrono::nanoseconds advance;  // before the request
        IpcRequest request;
        std::optional<IpcResponse> answer;            // for requests other than Status
        std::optional<std::uint64_t> remaining = {};  // for Status
        bool active = false;
    } steps[] = {
        // Where each boundary lies is the lease rules' own test; here, that
        // the requests keep to them on the slot's clock.
        {"renew 29 s after the grant", 29s, renew(id), OK},
        {"past the grant's expiry, the renewal's 28.5 s left", 1500ms, status(), std::nullopt, 28,
         true},
        {"past the renewal's expiry", 28500ms + 1ns, status(), std::nullopt, std::nullopt, false},
        {"too late to renew", 0s, renew(id), error(LEASE_NO_LONGER_VALID)},
        {"nor can it start", 0s, start(id), error(START_NEEDS_ACTIVE_LEASE)},
        {"nor stop", 0s, stop(id), error(STOP_NEEDS_ACTIVE_LEASE)},
    };
    for (auto& step : steps) {
        clock_.advance(step.advance);
        if (step.answer) {
            EXPECT_EQ(ask(step.request), *step.answer) << step.what;
        } else {
            const auto fields = ask_status();
            EXPECT_EQ(fields.lease_expires_in_seconds, step.remaining) << step.what;
            EXPECT_EQ(fields.lease_active, step.active) << step.what;
        }
    }
    // Nobody reclaimed it, but an acquire does.
    EXPECT_TRUE(is_protocol_id(acquire_id()));
}

TEST_P(RequestsTest, StatusWithoutALease) {
    const IpcResponse::Status expected{false,  "kavo_core.exe", 5u,          "0.2.1",
                                       DIGEST, false,           std::nullopt};
    EXPECT_EQ(ask_status(), expected);
    EXPECT_EQ(ask_status(), expected) << "the same every time";
}

TEST_P(RequestsTest, StartStopAndTheEndOfTheLease) {
    const std::string id = acquire_id();
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(ask(start(id)), OK);
    EXPECT_TRUE(fs::is_directory(runtime_dir(id)));
    EXPECT_TRUE(ask_status().running);

    // A second start keeps the running core: nothing is swept or staged
    // again, so a file put beside the runtime stays.
    testing::write_file(runtime_dir(id) / "marker", "kept");
    EXPECT_EQ(ask(start(id)), OK);
    EXPECT_EQ(runtime_entries(), std::set<std::string>{id});
    EXPECT_TRUE(fs::exists(runtime_dir(id) / "marker"));

    EXPECT_EQ(ask(stop(std::string(32, '1'))), error(STOP_NEEDS_ACTIVE_LEASE));
    EXPECT_EQ(ask(stop(id)), OK);
    EXPECT_FALSE(fs::exists(runtime_dir(id)));
    const auto after = ask_status();
    EXPECT_FALSE(after.running);
    EXPECT_FALSE(after.lease_active);
    EXPECT_EQ(after.lease_expires_in_seconds, std::nullopt);

    // The stop ended the lease with the core.
    EXPECT_EQ(ask(start(id)), error(START_NEEDS_ACTIVE_LEASE));
    EXPECT_EQ(ask(renew(id)), error(LEASE_NO_LONGER_VALID));
    EXPECT_EQ(ask(release(id)), error(LEASE_NO_LONGER_VALID));
}

TEST_P(RequestsTest, ReleaseOfAnExpiredLeaseStopsItsCore) {
    const std::string id = acquire_id();
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(ask(start(id)), OK);
    clock_.advance(31s);
    EXPECT_FALSE(ask_status().lease_active);
    EXPECT_TRUE(ask_status().running) << "nobody reclaimed it";

    EXPECT_EQ(ask(release(id)), OK);
    EXPECT_FALSE(ask_status().running);
    EXPECT_FALSE(fs::exists(runtime_dir(id)));
    EXPECT_TRUE(is_protocol_id(acquire_id()));
}

TEST_P(RequestsTest, AFailedStartEndsTheLease) {
    fs::remove(core_dir() / "config.yaml");
    const std::string id = acquire_id();
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(ask(start(id)), error(RUNTIME_CONFIGURATION_UNAVAILABLE));
    EXPECT_EQ(runtime_entries(), std::set<std::string>{});
    EXPECT_EQ(ask(renew(id)), error(LEASE_NO_LONGER_VALID));
    EXPECT_TRUE(is_protocol_id(acquire_id()));
}

// A client that only asks for the status never takes the lease from its
// holder nor keeps it from renewing, starting or stopping.
TEST_P(RequestsTest, StatusOnlyClientsLeaveTheHolderAlone) {
    const std::string id = acquire_id();
    ASSERT_FALSE(id.empty());
    std::atomic<bool> done{false};
    std::atomic<int> statuses{0};
    std::atomic<int> wrong{0};
    std::thread watcher([&] {
        while (!done) {
            const auto fields = ask_status();
            ++statuses;
            if (!fields.lease_active || fields.core_sha256 != DIGEST) {
                ++wrong;
            }
        }
    });
    const std::vector<std::pair<IpcRequest, IpcResponse>> holder = {
        {renew(id), OK}, {start(id), OK}, {renew(id), OK}, {start(id), OK}, {renew(id), OK},
    };
    for (const auto& [request, answer] : holder) {
        EXPECT_EQ(ask(request), answer);
    }
    ASSERT_TRUE(eventually([&] { return statuses > 2; }));
    done = true;
    watcher.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(ask(stop(id)), OK);
}

// The acquire's separate holds of the mutex, driven one at a time: the test
// holds the lock while it queues requests (the mutex serves them in arrival
// order) and runs the loop on its own thread.
class AcquireInterleavingTest : public ::testing::Test, public SlotFixture {
  protected:
    explicit AcquireInterleavingTest(std::size_t pool_threads = MAX_BLOCKING_THREADS)
        : SlotFixture(pool_threads) {}

    ~AcquireInterleavingTest() override {
        io_.restart();
        io_.run_for(testing::HANG_LIMIT);
        slot_.reset();
        pool_.join();
    }

    // Starts `request`; it runs up to its first wait.
    std::shared_ptr<std::optional<IpcResponse>> spawn(IpcRequest request) {
        auto answer = std::make_shared<std::optional<IpcResponse>>();
        asio::co_spawn(io_, handle_request(std::move(request), context()),
                       [answer](std::exception_ptr error, IpcResponse response) {
                           EXPECT_FALSE(error);
                           *answer = std::move(response);
                       });
        io_.restart();
        io_.poll();
        return answer;
    }

    // Runs the loop until `answer` is in.
    void settle(const std::shared_ptr<std::optional<IpcResponse>>& answer) {
        const auto deadline = std::chrono::steady_clock::now() + testing::HANG_LIMIT;
        while (!answer->has_value() && std::chrono::steady_clock::now() < deadline) {
            io_.restart();
            io_.run_one_for(100ms);
        }
        ASSERT_TRUE(answer->has_value()) << "no answer";
    }

    IpcResponse run(IpcRequest request) {
        auto answer = spawn(std::move(request));
        settle(answer);
        return answer->value_or(error("<none>"));
    }

    std::string lease_of(const std::optional<IpcResponse>& response) {
        const auto* lease = testing::record_of<IpcResponse::Lease>(response);
        return lease ? lease->lease_id : std::string();
    }

    asio::io_context io_;
};

// The lease was live when the acquire looked first and has run out by its
// decision: the acquire reclaims it and looks again, so its core and
// directory go before a new lease is granted.
TEST_F(AcquireInterleavingTest, ALeaseThatRunsOutMeanwhileIsReclaimedBeforeTheGrant) {
    const std::string first = lease_of(run(acquire()));
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(run(start(first)), OK);
    ASSERT_TRUE(fs::is_directory(runtime_dir(first)));

    std::optional<CoreSlot::Access> held = slot_->try_lock();
    ASSERT_TRUE(held.has_value());
    auto second = spawn(acquire());
    // Queued behind the acquire's reclaim: the clock passes the expiry
    // after that reclaim has found the lease live.
    auto expire = std::make_shared<bool>(false);
    asio::co_spawn(
        io_,
        [slot = slot_, expire, this]() -> asio::awaitable<void> {
            CoreSlot::Access access = co_await slot->lock();
            clock_.advance(30s);
            *expire = true;
        },
        asio::detached);
    io_.poll();
    held.reset();
    settle(second);
    EXPECT_TRUE(*expire);
    const std::string granted = lease_of(*second);
    ASSERT_FALSE(granted.empty()) << error_of(second->value_or(OK));
    EXPECT_NE(granted, first);
    EXPECT_FALSE(fs::exists(runtime_dir(first)));
    const IpcResponse after = run(status());
    const auto* fields = std::get_if<IpcResponse::Status>(&after.value);
    ASSERT_NE(fields, nullptr);
    EXPECT_FALSE(fields->running);
    EXPECT_EQ(fields->lease_expires_in_seconds, 30u);
}

// Two clients acquire at once and the first to be granted starts its core
// straight away, while the other acquire is still on its way: whatever the
// order of their holds, the core's directory survives every sweep and the
// leftovers of an earlier run do not. (That the sweep cannot fall between
// holds at all is shown with a blocked pool below.)
TEST_F(AcquireInterleavingTest, ASweepNeverRemovesTheDirectoryOfACoreStartedMeanwhile) {
    // Leftovers of an earlier run, which the sweeps remove.
    const std::string stale(32, 'e');
    fs::create_directories(runtime_dir(stale));

    std::optional<CoreSlot::Access> held = slot_->try_lock();
    ASSERT_TRUE(held.has_value());
    auto winner = std::make_shared<std::optional<IpcResponse>>();
    auto started = std::make_shared<std::optional<IpcResponse>>();
    asio::co_spawn(
        io_,
        [this, winner, started]() -> asio::awaitable<void> {
            *winner = co_await handle_request(acquire(), context());
            const std::string id = lease_of(*winner);
            if (!id.empty()) {
                *started = co_await handle_request(start(id), context());
            }
        },
        asio::detached);
    io_.poll();
    auto other = spawn(acquire());
    held.reset();
    settle(other);
    settle(started);

    const std::string id = lease_of(*winner);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(*other, error(LEASE_OWNED_BY_ANOTHER_CLIENT));
    EXPECT_EQ(*started, OK);
    EXPECT_EQ(runtime_entries(), std::set<std::string>{id});
    const IpcResponse after = run(status());
    const auto* fields = std::get_if<IpcResponse::Status>(&after.value);
    ASSERT_NE(fields, nullptr);
    EXPECT_TRUE(fields->running);
}

// The pool of this test has one thread, which the test blocks: the
// acquire's sweep then waits for it, and the slot's mutex must stay taken
// for as long, so nothing can be granted or started before the sweep.
class BlockedSweepTest : public AcquireInterleavingTest {
  protected:
    BlockedSweepTest() : AcquireInterleavingTest(1) {}
};

TEST_F(BlockedSweepTest, TheSweepRunsInsideTheHoldThatReadsTheLease) {
    const std::string stale(32, 'e');
    fs::create_directories(runtime_dir(stale));

    auto gate = std::make_shared<std::promise<void>>();
    auto blocker = [opened = gate->get_future().share()] {
        opened.wait();
        return true;
    };
    asio::co_spawn(
        io_,
        [this, blocker]() -> asio::awaitable<void> {
            auto work = blocker;
            static_cast<void>(co_await pool_.run(std::move(work)));
        },
        asio::detached);
    io_.poll();

    auto acquired = spawn(acquire());
    io_.poll();
    EXPECT_FALSE(acquired->has_value());
    EXPECT_TRUE(fs::exists(runtime_dir(stale))) << "the sweep has not run yet";
    EXPECT_FALSE(slot_->try_lock().has_value()) << "the acquire holds the mutex across its sweep";

    gate->set_value();
    settle(acquired);
    EXPECT_FALSE(lease_of(*acquired).empty());
    EXPECT_FALSE(fs::exists(runtime_dir(stale)));
}

// An acquire that first has to stop a core (here one that a stop left
// pending with no lease) grants its lease once the stop is over, and the
// lease runs its whole 30 s from then, however long the stop took. The one
// pool thread is kept busy past the acquire's decision, and the clock moves
// on while the stop waits for it.
TEST_F(BlockedSweepTest, ALeaseGrantedAfterAStopRunsItsWholeDurationFromTheGrant) {
    {
        std::optional<CoreSlot::Access> access = slot_->try_lock();
        ASSERT_TRUE(access.has_value());
        access->mark_stuck();
    }
    auto occupy = [this](std::shared_future<void> opened) {
        auto blocker = [opened] {
            opened.wait();
            return true;
        };
        asio::co_spawn(
            io_,
            [this, blocker]() -> asio::awaitable<void> {
                auto work = blocker;
                static_cast<void>(co_await pool_.run(std::move(work)));
            },
            asio::detached);
        io_.restart();
        io_.poll();
    };
    std::promise<void> before_sweep;
    std::promise<void> before_stop;
    occupy(before_sweep.get_future().share());
    auto acquired = spawn(acquire());
    // Queued behind the acquire's sweep, so ahead of its stop.
    occupy(before_stop.get_future().share());

    clock_.forget_reads();
    before_sweep.set_value();
    // The acquire's decision is its first look at the clock after the sweep;
    // the stop it then submits waits for the pool.
    const auto deadline = std::chrono::steady_clock::now() + testing::HANG_LIMIT;
    while (clock_.reads() == 0 && std::chrono::steady_clock::now() < deadline) {
        io_.restart();
        io_.run_one_for(100ms);
    }
    ASSERT_GT(clock_.reads(), 0) << "the acquire never decided";
    EXPECT_FALSE(acquired->has_value());

    clock_.advance(20s);
    before_stop.set_value();
    settle(acquired);
    ASSERT_FALSE(lease_of(*acquired).empty()) << error_of(acquired->value_or(OK));
    std::optional<CoreSlot::Access> access = slot_->try_lock();
    ASSERT_TRUE(access.has_value());
    EXPECT_FALSE(access->lease().stop_pending());
    ASSERT_TRUE(access->lease().record().has_value());
    EXPECT_EQ(access->lease().record()->expires_at, clock_.now() + LEASE_DURATION);
}

}  // namespace
}  // namespace kavo
