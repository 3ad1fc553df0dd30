// kavo-ctl run: the rule for status lines, and whole sessions against the
// service's own request handling, in process: the stand-in core (found
// beside this test executable), a private ProgramData, and one clock, moved
// by the test, for both the session's renewals and the service's leases.
// What the pipe could do to an exchange (no answer, or an answer lost after
// the request was carried out) is put in between.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "async/blocking_pool.h"
#include "core/core_slot.h"
#include "core/lease.h"
#include "core/runtime_staging.h"
#include "core/supervisor.h"
#include "ctl/ctl_command.h"
#include "ctl/ctl_run.h"
#include "ctl/ctl_session.h"
#include "ipc/lease_answers.h"
#include "ipc/record_json.h"
#include "ipc/request_handler.h"
#include "test_support.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Status = IpcResponse::Status;

TEST(CtlRunTest, AStatusLineOnlyWhenSomethingButTheSecondsChanged) {
    const Status idle{false, "kavo_core.exe", 5, "0.2.1", std::string(64, 'a'),
                      false, std::nullopt};
    Status leased = idle;
    leased.lease_active = true;
    leased.lease_expires_in_seconds = 30;
    Status later = leased;
    later.lease_expires_in_seconds = 21;
    Status running = later;
    running.running = true;
    Status other_core = running;
    other_core.core_sha256 = std::string(64, 'b');
    struct Case {
        const char* what;
        std::optional<Status> last;
        Status now;
        bool changed;
    } cases[] = {
        {"first status", std::nullopt, idle, true}, {"same", idle, idle, false},
        {"lease taken", idle, leased, true},        {"seconds only", leased, later, false},
        {"core running", later, running, true},     {"other digest", running, other_core, true},
        {"lease ended", leased, idle, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ctl_run_status_changed(c.last, c.now), c.changed) << c.what;
    }
    EXPECT_EQ(ctl_run_status_line(running), "status: " + serialize(IpcResponse{running}));
    EXPECT_EQ(ctl_run_acquired_line(IpcResponse::Lease{"0123", 30}),
              "acquired lease 0123 for 30 s");
}

TEST(CtlRunTest, RunIsACommandOfItsOwn) {
    const std::vector<std::string> run = {"--pipe", "p", "run"};
    auto command = parse_ctl_arguments<char>(run);
    ASSERT_TRUE(command) << command.error();
    EXPECT_TRUE(command->run_session);
    EXPECT_EQ(command->pipe_name, "p");
    const std::vector<std::string> status = {"status"};
    EXPECT_FALSE(parse_ctl_arguments<char>(status)->run_session);
    const std::vector<std::string> extra = {"run", "L1"};
    EXPECT_EQ(parse_ctl_arguments<char>(extra).error(), CTL_EXTRA_ARGUMENTS);
}

using Answer = Result<IpcResponse, CtlNoAnswer>;

namespace fs = std::filesystem;

// The name of a request's kind, for the plans and the record of requests.
std::string kind_of(const IpcRequest& request) {
    static const char* const NAMES[] = {"acquire", "renew", "release", "start", "stop", "status"};
    return NAMES[request.value.index()];
}

constexpr std::string_view DIGEST =
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

// The service side of a session: the real request handling over a slot on a
// clock that only the test moves, with the stand-in core and its runtime
// files in a private ProgramData.
class InProcessService : public testing::Sandbox {
  public:
    InProcessService() : Sandbox(true), slot_(CoreSlot::create(pool_, clock)) {}

    ~InProcessService() {
        // The slot goes (ending a core it still holds) before the pool.
        slot_.reset();
        pool_.join();
    }

    bool runtime_left() const { return !runtime_entries().empty(); }

    asio::awaitable<IpcResponse> handle(IpcRequest request) {
        RequestContext context{core_dir().native(), std::string(DIGEST), slot_};
        // The watch of a start is not what these tests are about.
        context.start_hooks.startup_grace = std::chrono::milliseconds(50);
        co_return co_await handle_request(std::move(request), std::move(context));
    }

    // The pipe server's reclaim, as one of its accept cycles runs it.
    asio::awaitable<void> reclaim() {
        auto reclaimed = co_await reclaim_expired_lease(slot_);
        EXPECT_TRUE(reclaimed) << reclaimed.error();
    }

    // What the slot holds once the session is over.
    bool holds_core() { return slot_->try_lock().value().core() != nullptr; }
    bool holds_lease() { return slot_->try_lock().value().lease().record().has_value(); }

    // The slot's clock, and the session's.
    const testing::FakeClock clock;

  private:
    BlockingPool pool_;
    std::shared_ptr<CoreSlot> slot_;
};

// What the pipe does to the n-th request of a kind (counted from 0).
struct Fault {
    std::string kind;
    int n = 0;
    // The request reached the service, and only its answer was lost.
    bool carried_out = false;
};

struct Plan {
    // Asks for the stop of the session while the n-th status poll is
    // answered; -1: never.
    int stop_at_status = -1;
    std::vector<Fault> faults;
    // Runs on the service before the request it names is handled.
    std::function<asio::awaitable<void>(InProcessService&, const std::string& kind, int n)> before;
};

struct SessionRun {
    int exit_status = -1;
    std::vector<std::string> requests;
    std::vector<IpcResponse> answers;
    std::vector<std::string> output;
    std::vector<std::string> errors;
    // The lease the session was granted, if any.
    std::string lease_id;
};

// Each status poll stands for the session's pause before it: the clock
// moves by that much, so ten polls take as long as a renewal interval.
constexpr std::chrono::seconds POLL_PAUSE{1};

// The connection of a refused request is as good as lost.
const CtlNoAnswer LOST{CtlFailure::exchange, "the pipe broke"};

SessionRun run_session(InProcessService& service, const Plan& plan) {
    asio::io_context io;
    auto stop = std::make_shared<CtlRunStop>(io.get_executor());
    SessionRun run;
    std::map<std::string, int> counts;
    CtlExchange exchange = [&](IpcRequest request) -> asio::awaitable<Answer> {
        const std::string kind = kind_of(request);
        run.requests.push_back(kind);
        const int n = counts[kind]++;
        // Far more than any plan asks for: a session that should have ended
        // by itself is stopped, so that it fails instead of going on.
        if (run.requests.size() == 1000) {
            ADD_FAILURE() << "the session did not end";
            stop->request();
        }
        if (kind == "status") {
            service.clock.advance(POLL_PAUSE);
            if (n == plan.stop_at_status) {
                stop->request();
            }
        }
        if (plan.before) {
            co_await plan.before(service, kind, n);
        }
        std::optional<Fault> fault;
        for (const auto& f : plan.faults) {
            if (f.kind == kind && f.n == n) {
                fault = f;
            }
        }
        if (fault && !fault->carried_out) {
            co_return fail(LOST);
        }
        IpcResponse answer = co_await service.handle(std::move(request));
        if (const auto* lease = std::get_if<IpcResponse::Lease>(&answer.value)) {
            run.lease_id = lease->lease_id;
        }
        run.answers.push_back(answer);
        if (fault) {
            co_return fail(LOST);
        }
        co_return answer;
    };
    CtlRunOutput output{[&](std::string_view line) { run.output.emplace_back(line); },
                        [&](std::string_view line) { run.errors.emplace_back(line); }};
    CtlRunTimings timings;
    timings.status_every = std::chrono::milliseconds(1);
    timings.clock = service.clock;
    asio::co_spawn(io, run_ctl_session(exchange, stop, output, timings),
                   [&](std::exception_ptr error, int status) {
                       EXPECT_FALSE(error);
                       run.exit_status = status;
                   });
    io.run();
    return run;
}

std::string acquired_line(const SessionRun& run) {
    return ctl_run_acquired_line(
        IpcResponse::Lease{run.lease_id, static_cast<std::uint64_t>(LEASE_DURATION.count())});
}

std::string lost_line() {
    return *report_failure(LOST.failure, LOST.detail).error_line;
}

std::string refused(std::string_view message) {
    return std::string(CTL_RUN_REFUSED) + std::string(message);
}

std::string lease_lost(std::string_view message) {
    return std::string(CTL_RUN_LEASE_LOST) + std::string(message);
}

// The status a session sees at its first poll: its core runs, and its lease
// has 29 of its 30 s left (one pause has passed).
IpcResponse::Status first_status() {
    return IpcResponse::Status{true, "kavo_core.exe", 5, "0.2.1", std::string(DIGEST), true, 29};
}

// The requests of a session that is asked to stop at its status poll
// `stop_at` and whose renewals all go through: one renewal before every
// tenth poll.
std::vector<std::string> clean_requests(int stop_at) {
    std::vector<std::string> requests = {"acquire", "start"};
    for (int poll = 0; poll <= stop_at; ++poll) {
        if (poll > 0 && poll % 10 == 0) {
            requests.push_back("renew");
        }
        requests.push_back("status");
    }
    requests.push_back("release");
    return requests;
}

// Renewed three times over 35 s, longer than a lease lasts unrenewed: every
// renewal is answered "Ok" and the lease stays live to the end, when the
// release stops the core.
TEST(CtlSessionTest, ACleanSessionRenewsUntilItIsStoppedThenReleases) {
    InProcessService service;
    const SessionRun run = run_session(service, Plan{34});
    EXPECT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.errors);
    EXPECT_EQ(run.requests, clean_requests(34));
    EXPECT_EQ(run.output, (std::vector<std::string>{
                              acquired_line(run), std::string(CTL_RUN_STARTED),
                              ctl_run_status_line(first_status()), std::string(CTL_RUN_STOPPING),
                              std::string(CTL_RUN_RELEASED)}));
    EXPECT_EQ(run.errors, std::vector<std::string>{});
    int renewals = 0;
    for (const auto& answer : run.answers) {
        if (const auto* status = std::get_if<IpcResponse::Status>(&answer.value)) {
            EXPECT_TRUE(status->lease_active && status->running) << serialize(answer);
        } else if (!std::holds_alternative<IpcResponse::Lease>(answer.value)) {
            EXPECT_EQ(answer, IpcResponse{IpcResponse::Ok{}});
            ++renewals;
        }
    }
    EXPECT_EQ(renewals, 3 + 2) << "three renewals, the start and the release";
    EXPECT_FALSE(service.holds_core());
    EXPECT_FALSE(service.holds_lease());
    EXPECT_FALSE(service.runtime_left());
}

// Once the lease is granted, every way out gives it back, and what the
// service holds afterwards is what the lines say.
TEST(CtlSessionTest, EveryWayASessionEndsAfterTheGrantGivesTheLeaseBack) {
    struct Case {
        const char* what;
        Plan plan;
        // Sets up the service before the session.
        std::function<void(InProcessService&)> prepare;
        int exit_status;
        std::vector<std::string> requests;
        // Built once the lease id is known.
        std::function<std::vector<std::string>(const SessionRun&)> output;
        std::vector<std::string> errors;
        // What the service holds afterwards.
        bool lease_left = false;
    } cases[] = {
        {"the start fails, which ends the lease on the service's side",
         Plan{},
         [](InProcessService& service) { fs::remove(service.core_dir() / "config.yaml"); },
         1,
         {"acquire", "start", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_LEASE_ENDED)};
         },
         {refused(RUNTIME_CONFIGURATION_UNAVAILABLE)}},
        {"the session stalls past the expiry: the renewal is refused, the release still "
         "stops the core",
         Plan{-1,
              {},
              [](InProcessService& service, const std::string& kind,
                 int n) -> asio::awaitable<void> {
                  if (kind == "renew" && n == 0) {
                      service.clock.advance(LEASE_DURATION);
                  }
                  co_return;
              }},
         {},
         1,
         {"acquire", "start", "status", "status", "status", "status", "status", "status", "status",
          "status", "status", "status", "renew", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_STARTED),
                                             ctl_run_status_line(first_status()),
                                             std::string(CTL_RUN_RELEASED)};
         },
         {lease_lost(LEASE_NO_LONGER_VALID)}},
        {"the start is carried out but its answer is lost: the release stops the core",
         Plan{-1, {{"start", 0, true}}},
         {},
         2,
         {"acquire", "start", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_RELEASED)};
         },
         {lost_line()}},
        {"the start never reaches the service",
         Plan{-1, {{"start", 0}}},
         {},
         2,
         {"acquire", "start", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_RELEASED)};
         },
         {lost_line()}},
        {"unanswered requests print once per kind until that kind is answered",
         Plan{14, {{"renew", 0}, {"status", 11}, {"status", 12}}},
         {},
         0,
         {"acquire", "start",  "status", "status", "status", "status", "status",
          "status",  "status", "status", "status", "status", "renew",  "renew",
          "status",  "status", "status", "status", "status", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_STARTED),
                                             ctl_run_status_line(first_status()),
                                             std::string(CTL_RUN_STOPPING),
                                             std::string(CTL_RUN_RELEASED)};
         },
         {std::string(CTL_RUN_NO_ANSWER) + LOST.detail,
          std::string(CTL_RUN_NO_ANSWER) + LOST.detail}},
        {"stopped after the service had reclaimed the lease unseen",
         Plan{2,
              {},
              [](InProcessService& service, const std::string& kind, int) -> asio::awaitable<void> {
                  if (kind == "release") {
                      service.clock.advance(LEASE_DURATION);
                      co_await service.reclaim();
                  }
              }},
         {},
         1,
         {"acquire", "start", "status", "status", "status", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_STARTED),
                                             ctl_run_status_line(first_status()),
                                             std::string(CTL_RUN_STOPPING)};
         },
         {lease_lost(LEASE_NO_LONGER_VALID)}},
        {"the release never reaches the service: the lease is left to expire",
         Plan{0, {{"release", 0}}},
         {},
         2,
         {"acquire", "start", "status", "release"},
         [](const SessionRun& run) {
             return std::vector<std::string>{acquired_line(run), std::string(CTL_RUN_STARTED),
                                             ctl_run_status_line(first_status()),
                                             std::string(CTL_RUN_STOPPING)};
         },
         {lost_line()},
         true},
    };
    for (const auto& c : cases) {
        InProcessService service;
        if (c.prepare) {
            c.prepare(service);
        }
        const SessionRun run = run_session(service, c.plan);
        EXPECT_EQ(run.exit_status, c.exit_status) << c.what;
        EXPECT_EQ(run.requests, c.requests) << c.what;
        EXPECT_EQ(run.output, c.output(run)) << c.what;
        EXPECT_EQ(run.errors, c.errors) << c.what;
        EXPECT_EQ(service.holds_lease(), c.lease_left) << c.what;
        EXPECT_EQ(service.holds_core(), c.lease_left) << c.what;
        EXPECT_EQ(service.runtime_left(), c.lease_left) << c.what;
    }
}

TEST(CtlSessionTest, WithoutAGrantThereIsNothingToGiveBack) {
    struct Case {
        const char* what;
        Plan plan;
        bool other_holder;
        int exit_status;
        std::vector<std::string> errors;
    } cases[] = {
        {"another client holds the lease",
         Plan{},
         true,
         1,
         {refused(LEASE_OWNED_BY_ANOTHER_CLIENT)}},
        {"no service", Plan{-1, {{"acquire", 0}}}, false, 2, {lost_line()}},
    };
    for (const auto& c : cases) {
        InProcessService service;
        if (c.other_holder) {
            asio::io_context io;
            asio::co_spawn(io, service.handle(IpcRequest{IpcRequest::AcquireLease{}}),
                           [](std::exception_ptr, IpcResponse answer) {
                               EXPECT_TRUE(std::holds_alternative<IpcResponse::Lease>(answer.value))
                                   << serialize(answer);
                           });
            io.run();
        }
        const SessionRun run = run_session(service, c.plan);
        EXPECT_EQ(run.exit_status, c.exit_status) << c.what;
        EXPECT_EQ(run.requests, std::vector<std::string>{"acquire"}) << c.what;
        EXPECT_EQ(run.output, std::vector<std::string>{}) << c.what;
        EXPECT_EQ(run.errors, c.errors) << c.what;
        EXPECT_EQ(service.holds_lease(), c.other_holder) << c.what;
    }
}

// A signal can come just as the session ends: what the request posts must
// not reach a stop that has gone by the time it runs.
TEST(CtlRunStopTest, ARequestOutlivedByNothingItTouches) {
    asio::io_context io;
    auto gone = std::make_shared<CtlRunStop>(io.get_executor());
    auto kept = std::make_shared<CtlRunStop>(io.get_executor());
    gone->request();
    kept->request();
    gone.reset();
    EXPECT_FALSE(kept->requested()) << "seen on the executor only";
    io.run();
    EXPECT_TRUE(kept->requested());
}

}  // namespace
}  // namespace kavo
