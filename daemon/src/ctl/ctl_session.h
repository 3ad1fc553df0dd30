// kavo-ctl run, driven: a whole client session over separate exchanges, one
// request each, until a stop is asked for. The exchanges and the output are
// handed in, so the session runs against an in-process service in tests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include "ctl/ctl_command.h"
#include "ctl/ctl_run.h"
#include "ipc/records.h"
#include "platform/result.h"

namespace kavo {

// Why an exchange brought no answer.
struct CtlNoAnswer {
    CtlFailure failure = CtlFailure::exchange;
    std::string detail;
};

using CtlExchange =
    std::function<asio::awaitable<Result<IpcResponse, CtlNoAnswer>>(IpcRequest request)>;

struct CtlRunOutput {
    std::function<void(std::string_view)> output_line;
    std::function<void(std::string_view)> error_line;
};

// The stop of a session: asked for from any thread, seen by the session at
// its next pause or at once when it is pausing. The executor is the one the
// session runs on (one thread, or a strand).
class CtlRunStop {
  public:
    explicit CtlRunStop(asio::any_io_executor executor);

    // What this posts holds the stop's state only weakly: a stop that is
    // gone by the time it runs is simply not woken.
    void request();
    bool requested() const { return state_->requested; }

    // Waits for `pause` unless a stop is asked for first.
    asio::awaitable<void> sleep(std::chrono::milliseconds pause);

  private:
    struct State {
        explicit State(asio::any_io_executor executor) : wake(std::move(executor)) {}
        asio::steady_timer wake;
        // Read and written on the executor only.
        bool requested = false;
    };

    asio::any_io_executor executor_;
    std::shared_ptr<State> state_;
};

// Acquires a lease, starts the core, then renews every `renew_every` and
// asks for the status every `status_every`, printing it when it changed,
// until a stop: then releases the lease, which stops the core. Whatever ends
// the session once the lease was granted (a refused or unanswered start, a
// lost lease), the lease is released before it returns, and the output says
// how that went. Returns the exit status: 0 after a clean release, 1 when the
// service refused a step or the lease was lost, 2 when the acquire, the start
// or the release brought no answer (the higher of the two when a failure was
// followed by a failed release).
asio::awaitable<int> run_ctl_session(CtlExchange exchange, std::shared_ptr<CtlRunStop> stop,
                                     CtlRunOutput output, CtlRunTimings timings = {});

}  // namespace kavo
