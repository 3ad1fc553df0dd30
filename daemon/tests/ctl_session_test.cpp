// kavo-ctl run: the rule for status lines, and whole sessions against a
// scripted service, each answer chosen per request, so that every way a
// session can end is driven without a daemon.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ctl/ctl_command.h"
#include "ctl/ctl_run.h"
#include "ctl/ctl_session.h"
#include "ipc/record_json.h"

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

// The name of a request's kind, for scripts and for the record of requests.
std::string kind_of(const IpcRequest& request) {
    static const char* const NAMES[] = {"acquire", "renew", "release", "start", "stop", "status"};
    return NAMES[request.value.index()];
}

const std::string LEASE_ID = "0123456789abcdef0123456789abcdef";
const IpcResponse LEASE{IpcResponse::Lease{LEASE_ID, 30}};
const IpcResponse OK{IpcResponse::Ok{}};
const Status IDLE{false, "kavo_core.exe", 5, "0.2.1", std::string(64, 'a'), true, 30};

IpcResponse refusal(std::string message) {
    return IpcResponse{IpcResponse::Error{std::move(message)}};
}
Answer no_answer(std::string detail) {
    return fail(CtlNoAnswer{CtlFailure::no_pipe, std::move(detail)});
}
Status running(std::uint64_t seconds) {
    Status status = IDLE;
    status.running = true;
    status.lease_expires_in_seconds = seconds;
    return status;
}

// Answers the n-th request of a kind (counted from 0); asks for the stop
// of the session while answering the status poll `stop_at_status`.
using Script = std::function<Answer(const std::string& kind, int n)>;

struct SessionRun {
    int exit_status = -1;
    std::vector<std::string> requests;
    std::vector<std::string> output;
    std::vector<std::string> errors;
};

SessionRun run_session(const Script& script, int stop_at_status) {
    asio::io_context io;
    auto stop = std::make_shared<CtlRunStop>(io.get_executor());
    SessionRun run;
    std::map<std::string, int> counts;
    CtlExchange exchange = [&](IpcRequest request) -> asio::awaitable<Answer> {
        const std::string kind = kind_of(request);
        if (auto* renew = std::get_if<IpcRequest::RenewLease>(&request.value)) {
            EXPECT_EQ(renew->lease_id, LEASE_ID);
        }
        run.requests.push_back(kind);
        const int n = counts[kind]++;
        if (kind == "status" && n == stop_at_status) {
            stop->request();
        }
        co_return script(kind, n);
    };
    CtlRunOutput output{[&](std::string_view line) { run.output.emplace_back(line); },
                        [&](std::string_view line) { run.errors.emplace_back(line); }};
    // Renewed before every poll, so that a short script covers both.
    const CtlRunTimings timings{0ms, 1ms};
    asio::co_spawn(io, run_ctl_session(exchange, stop, output, timings),
                   [&](std::exception_ptr error, int status) {
                       EXPECT_FALSE(error);
                       run.exit_status = status;
                   });
    io.run();
    return run;
}

std::string no_pipe_line(std::string detail) {
    return *report_failure(CtlFailure::no_pipe, detail).error_line;
}

TEST(CtlSessionTest, EveryWayASessionEnds) {
    const std::string held = "The service lease is held by another client";
    const std::string acquired = ctl_run_acquired_line(IpcResponse::Lease{LEASE_ID, 30});
    const std::string started(CTL_RUN_STARTED);
    const std::string stopping(CTL_RUN_STOPPING);
    const std::string released(CTL_RUN_RELEASED);
    // A service that grants everything and reports a running core.
    const auto granting = [](const std::string& kind, int n) -> Answer {
        if (kind == "acquire" || kind == "renew") {
            return LEASE;
        }
        if (kind == "status") {
            return IpcResponse{n == 0 ? IDLE : running(30 - n)};
        }
        return OK;
    };
    struct Case {
        const char* what;
        Script script;
        int stop_at_status;
        int exit_status;
        std::vector<std::string> requests;
        std::vector<std::string> output;
        std::vector<std::string> errors;
    } cases[] = {
        {"clean session: a line per change of status, then stop and release",
         granting,
         2,
         0,
         {"acquire", "start", "renew", "status", "renew", "status", "renew", "status", "release"},
         {acquired, started, ctl_run_status_line(IDLE), ctl_run_status_line(running(29)), stopping,
          released},
         {}},
        {"acquire refused",
         [&](const std::string&, int) -> Answer { return refusal(held); },
         -1,
         1,
         {"acquire"},
         {},
         {std::string(CTL_RUN_REFUSED) + held}},
        {"no service",
         [](const std::string&, int) { return no_answer("no instance"); },
         -1,
         2,
         {"acquire"},
         {},
         {no_pipe_line("no instance")}},
        {"start refused: the lease still goes back",
         [&](const std::string& kind, int n) -> Answer {
             return kind == "start" ? Answer(refusal("Failed to start the core"))
                                    : granting(kind, n);
         },
         -1,
         1,
         {"acquire", "start", "release"},
         {acquired, released},
         {std::string(CTL_RUN_REFUSED) + "Failed to start the core"}},
        {"lease lost at a renew",
         [&](const std::string& kind, int n) -> Answer {
             return kind == "renew" && n == 1 ? Answer(refusal("Invalid lease"))
                                              : granting(kind, n);
         },
         -1,
         1,
         {"acquire", "start", "renew", "status", "renew"},
         {acquired, started, ctl_run_status_line(IDLE)},
         {std::string(CTL_RUN_LEASE_LOST) + "Invalid lease"}},
        {"unanswered requests print once per kind until that kind is answered",
         [&](const std::string& kind, int n) -> Answer {
             if ((kind == "renew" && n == 1) || (kind == "status" && (n == 1 || n == 2))) {
                 return no_answer("busy");
             }
             return granting(kind, n);
         },
         3,
         0,
         {"acquire", "start", "renew", "status", "renew", "renew", "status", "renew", "status",
          "renew", "status", "release"},
         {acquired, started, ctl_run_status_line(IDLE), ctl_run_status_line(running(27)), stopping,
          released},
         {std::string(CTL_RUN_NO_ANSWER) + "busy", std::string(CTL_RUN_NO_ANSWER) + "busy"}},
        {"release refused: the core could not be stopped",
         [&](const std::string& kind, int n) -> Answer {
             return kind == "release" ? Answer(refusal("not stopped")) : granting(kind, n);
         },
         0,
         1,
         {"acquire", "start", "renew", "status", "release"},
         {acquired, started, ctl_run_status_line(IDLE), stopping},
         {std::string(CTL_RUN_REFUSED) + "not stopped"}},
        {"start unanswered: the lease still goes back",
         [&](const std::string& kind, int n) -> Answer {
             return kind == "start" ? no_answer("cut") : granting(kind, n);
         },
         -1,
         2,
         {"acquire", "start", "release"},
         {acquired, released},
         {no_pipe_line("cut")}},
        {"release unanswered",
         [&](const std::string& kind, int n) -> Answer {
             return kind == "release" ? no_answer("gone") : granting(kind, n);
         },
         0,
         2,
         {"acquire", "start", "renew", "status", "release"},
         {acquired, started, ctl_run_status_line(IDLE), stopping},
         {no_pipe_line("gone")}},
    };
    for (const auto& c : cases) {
        const SessionRun run = run_session(c.script, c.stop_at_status);
        EXPECT_EQ(run.exit_status, c.exit_status) << c.what;
        EXPECT_EQ(run.requests, c.requests) << c.what;
        EXPECT_EQ(run.output, c.output) << c.what;
        EXPECT_EQ(run.errors, c.errors) << c.what;
    }
}

}  // namespace
}  // namespace kavo
