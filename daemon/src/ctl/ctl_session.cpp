#include "ctl/ctl_session.h"

#include <optional>
#include <utility>
#include <variant>

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace kavo {
namespace {

using Clock = std::chrono::steady_clock;

// The text of an answer that is neither the expected one nor an Error.
constexpr std::string_view UNEXPECTED_ANSWER = "an answer that does not fit the request";

std::string no_answer_line(const CtlNoAnswer& why) {
    return *report_failure(why.failure, why.detail).error_line;
}

const std::string* error_message(const IpcResponse& response) {
    const auto* error = std::get_if<IpcResponse::Error>(&response.value);
    return error ? &error->message : nullptr;
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
        const std::string* message = error_message(response);
        err(std::string(CTL_RUN_REFUSED) + (message ? *message : std::string(UNEXPECTED_ANSWER)));
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

}  // namespace

CtlRunStop::CtlRunStop(asio::any_io_executor executor)
    : executor_(executor), wake_(std::move(executor)) {}

void CtlRunStop::request() {
    asio::post(executor_, [this] {
        requested_ = true;
        wake_.cancel();
    });
}

asio::awaitable<void> CtlRunStop::sleep(std::chrono::milliseconds pause) {
    // No suspension between the test and the wait, so a request either comes
    // before the test or cancels the wait.
    if (requested_) {
        co_return;
    }
    wake_.expires_after(pause);
    asio::error_code ignored;
    co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

// gcc 12 pairs the allocation inside Asio's coroutine frame allocator with the
// frame's own operator delete, which hands the memory back to that allocator,
// and calls it a mismatch; the pairing is correct, so only that is silenced.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
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

    int status = CTL_EXIT_ANSWERED;
    IpcRequest started_request{IpcRequest::StartCore{lease_id}};
    auto started = co_await session.ask(std::move(started_request));
    if (started && std::holds_alternative<IpcResponse::Ok>(started->value)) {
        session.out(CTL_RUN_STARTED);
        std::optional<IpcResponse::Status> last;
        bool renew_failing = false;
        bool status_failing = false;
        auto renew_at = Clock::now() + timings.renew_every;
        while (!stop->requested()) {
            co_await stop->sleep(timings.status_every);
            if (stop->requested()) {
                break;
            }
            if (Clock::now() >= renew_at) {
                IpcRequest renewed_request{IpcRequest::RenewLease{lease_id}};
                auto renewed = co_await session.ask(std::move(renewed_request));
                if (!renewed) {
                    // Tried again at the next pause; the lease outlasts a few.
                    session.failed(renew_failing, renewed.error());
                    continue;
                }
                if (!std::holds_alternative<IpcResponse::Lease>(renewed->value)) {
                    const std::string* message = error_message(*renewed);
                    session.err(std::string(CTL_RUN_LEASE_LOST) +
                                (message ? *message : std::string(UNEXPECTED_ANSWER)));
                    co_return CTL_EXIT_ERROR_RESPONSE;
                }
                renew_failing = false;
                renew_at = Clock::now() + timings.renew_every;
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
        session.out(CTL_RUN_STOPPING);
    } else if (!started) {
        session.err(no_answer_line(started.error()));
        status = CTL_EXIT_NO_EXCHANGE;
    } else {
        session.refused(*started);
        status = CTL_EXIT_ERROR_RESPONSE;
    }

    // The lease goes back whatever became of the start; a release stops the
    // core first, and the lease ends only once it has.
    IpcRequest released_request{IpcRequest::ReleaseLease{lease_id}};
    auto released = co_await session.ask(std::move(released_request));
    if (!released) {
        session.err(no_answer_line(released.error()));
        co_return CTL_EXIT_NO_EXCHANGE;
    }
    if (!std::holds_alternative<IpcResponse::Ok>(released->value)) {
        session.refused(*released);
        co_return CTL_EXIT_ERROR_RESPONSE;
    }
    session.out(CTL_RUN_RELEASED);
    co_return status;
}

#pragma GCC diagnostic pop

}  // namespace kavo
