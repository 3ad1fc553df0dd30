#include "ctl/ctl_session.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <variant>

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "ipc/lease_answers.h"

namespace kavo {

namespace {

std::string no_answer_line(const CtlNoAnswer& why) {
    return *report_failure(why.failure, why.detail).error_line;
}

const std::string* error_message(const IpcResponse& response) {
    const auto* error = std::get_if<IpcResponse::Error>(&response.value);
    return error ? &error->message : nullptr;
}

// The service's own words, or that the answer was of the wrong kind.
std::string what_was_said(const IpcResponse& response) {
    const std::string* message = error_message(response);
    return message ? *message : std::string(CTL_RUN_UNEXPECTED_ANSWER);
}

// The exchanges and the output of one session.
class Session {
  public:
    Session(CtlExchange exchange, CtlRunOutput output)
        : exchange_(std::move(exchange)), output_(std::move(output)) {}

    // Callers name the request before they await this: gcc 12 destroys a
    // temporary built inside a co_await expression twice.
    asio::awaitable<Result<IpcResponse, CtlNoAnswer>> ask(IpcRequest request) {
        co_return co_await exchange_(std::move(request));
    }

    void out(std::string_view line) const { output_.output_line(line); }
    void err(std::string_view line) const { output_.error_line(line); }

    // A refusal or an answer of the wrong kind, as one line.
    void refused(const IpcResponse& response) const {
        err(std::string(CTL_RUN_REFUSED) + what_was_said(response));
    }

    // Repeated failures of one kind of request print once, until that kind
    // is answered again.
    void failed(bool& failing, const CtlNoAnswer& why) const {
        if (!failing) {
            err(std::string(CTL_RUN_NO_ANSWER) + why.detail);
        }
        failing = true;
    }

  private:
    CtlExchange exchange_;
    CtlRunOutput output_;
};

// Renews and watches the lease `lease_id`, whose core runs, until a stop is
// asked for (0) or the lease is lost (1).
asio::awaitable<int> keep_lease(Session& session, const std::string& lease_id, CtlRunStop& stop,
                                const CtlRunTimings& timings) {
    std::optional<IpcResponse::Status> last;
    bool renew_failing = false;
    bool status_failing = false;
    auto renew_at = timings.clock() + timings.renew_every;
    while (!stop.requested()) {
        co_await stop.sleep(timings.status_every);
        if (stop.requested()) {
            break;
        }
        if (timings.clock() >= renew_at) {
            IpcRequest renewed_request{IpcRequest::RenewLease{lease_id}};
            auto renewed = co_await session.ask(std::move(renewed_request));
            if (!renewed) {
                // Tried again at the next pause; the lease outlasts a few.
                session.failed(renew_failing, renewed.error());
                continue;
            }
            // A renewal is answered "Ok"; the new expiry is always the
            // lease's whole duration from the renewal.
            if (!std::holds_alternative<IpcResponse::Ok>(renewed->value)) {
                session.err(std::string(CTL_RUN_LEASE_LOST) + what_was_said(*renewed));
                co_return CTL_EXIT_ERROR_RESPONSE;
            }
            renew_failing = false;
            renew_at = timings.clock() + timings.renew_every;
        }
        IpcRequest polled_request{IpcRequest::Status{}};
        auto polled = co_await session.ask(std::move(polled_request));
        if (!polled) {
            session.failed(status_failing, polled.error());
            continue;
        }
        status_failing = false;
        if (const auto* now = std::get_if<IpcResponse::Status>(&polled->value)) {
            if (ctl_run_status_changed(last, *now)) {
                session.out(ctl_run_status_line(*now));
                last = *now;
            }
        }
    }
    co_return CTL_EXIT_ANSWERED;
}

// Gives the lease back, which stops its core; `status` is how the session
// has gone so far, and the higher of it and the release's own is returned.
asio::awaitable<int> give_back(Session& session, const std::string& lease_id, int status) {
    IpcRequest released_request{IpcRequest::ReleaseLease{lease_id}};
    auto released = co_await session.ask(std::move(released_request));
    if (!released) {
        session.err(no_answer_line(released.error()));
        co_return CTL_EXIT_NO_EXCHANGE;
    }
    if (std::holds_alternative<IpcResponse::Ok>(released->value)) {
        session.out(CTL_RUN_RELEASED);
        co_return status;
    }
    const std::string* message = error_message(*released);
    if (message != nullptr && *message == LEASE_NO_LONGER_VALID) {
        if (status != CTL_EXIT_ANSWERED) {
            // Expected after a failure that ended the lease on the
            // service's side; nothing is left to give back.
            session.out(CTL_RUN_LEASE_ENDED);
            co_return status;
        }
        // Asked to stop, but the lease had gone without a renewal saying so.
        session.err(std::string(CTL_RUN_LEASE_LOST) + *message);
        co_return CTL_EXIT_ERROR_RESPONSE;
    }
    session.refused(*released);
    co_return std::max(status, CTL_EXIT_ERROR_RESPONSE);
}

}  // namespace

CtlRunStop::CtlRunStop(asio::any_io_executor executor)
    : executor_(executor), state_(std::make_shared<State>(std::move(executor))) {}

void CtlRunStop::request() {
    // A signal can come as the session ends, after the stop has gone.
    asio::post(executor_, [weak = std::weak_ptr<State>(state_)] {
        if (const auto state = weak.lock()) {
            state->requested = true;
            state->wake.cancel();
        }
    });
}

asio::awaitable<void> CtlRunStop::sleep(std::chrono::milliseconds pause) {
    const std::shared_ptr<State> state = state_;
    // No suspension between the test and the wait, so a request either comes
    // before the test or cancels the wait.
    if (state->requested) {
        co_return;
    }
    state->wake.expires_after(pause);
    asio::error_code ignored;
    co_await state->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

asio::awaitable<int> run_ctl_session(CtlExchange exchange, std::shared_ptr<CtlRunStop> stop,
                                     CtlRunOutput output, CtlRunTimings timings) {
    Session session(std::move(exchange), std::move(output));

    IpcRequest granted_request{IpcRequest::AcquireLease{}};
    auto granted = co_await session.ask(std::move(granted_request));
    if (!granted) {
        session.err(no_answer_line(granted.error()));
        co_return CTL_EXIT_NO_EXCHANGE;
    }
    const auto* lease = std::get_if<IpcResponse::Lease>(&granted->value);
    if (lease == nullptr) {
        session.refused(*granted);
        co_return CTL_EXIT_ERROR_RESPONSE;
    }
    const std::string lease_id = lease->lease_id;
    session.out(ctl_run_acquired_line(*lease));

    // From here on the lease is ours, and every way out gives it back.
    int status = CTL_EXIT_ANSWERED;
    IpcRequest started_request{IpcRequest::StartCore{lease_id}};
    auto started = co_await session.ask(std::move(started_request));
    if (!started) {
        session.err(no_answer_line(started.error()));
        status = CTL_EXIT_NO_EXCHANGE;
    } else if (!std::holds_alternative<IpcResponse::Ok>(started->value)) {
        session.refused(*started);
        status = CTL_EXIT_ERROR_RESPONSE;
    } else {
        session.out(CTL_RUN_STARTED);
        status = co_await keep_lease(session, lease_id, *stop, timings);
        if (status == CTL_EXIT_ANSWERED) {
            session.out(CTL_RUN_STOPPING);
        }
    }
    co_return co_await give_back(session, lease_id, status);
}

}  // namespace kavo
