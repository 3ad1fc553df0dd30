#include "ctl/ctl_command.h"

#include "ipc/record_json.h"

namespace kavo {

namespace ctl_detail {

std::optional<Verb> verb_of(std::string_view word) {
    struct Entry {
        std::string_view word;
        Verb verb;
    };
    static constexpr Entry VERBS[] = {
        {"status", Verb::status},   {"acquire", Verb::acquire}, {"renew", Verb::renew},
        {"release", Verb::release}, {"start", Verb::start},     {"stop", Verb::stop},
        {"run", Verb::run},
    };
    for (const Entry& entry : VERBS) {
        if (entry.word == word) {
            return entry.verb;
        }
    }
    return std::nullopt;
}

bool takes_lease_id(Verb verb) {
    return verb != Verb::status && verb != Verb::acquire && verb != Verb::run;
}

IpcRequest request_of(Verb verb, std::string lease_id) {
    switch (verb) {
        case Verb::status:
        case Verb::run:  // a session of many requests; this one is not sent
            return IpcRequest{IpcRequest::Status{}};
        case Verb::acquire:
            return IpcRequest{IpcRequest::AcquireLease{}};
        case Verb::renew:
            return IpcRequest{IpcRequest::RenewLease{std::move(lease_id)}};
        case Verb::release:
            return IpcRequest{IpcRequest::ReleaseLease{std::move(lease_id)}};
        case Verb::start:
            return IpcRequest{IpcRequest::StartCore{std::move(lease_id)}};
        case Verb::stop:
            return IpcRequest{IpcRequest::StopCore{std::move(lease_id)}};
    }
    return IpcRequest{IpcRequest::Status{}};
}

}  // namespace ctl_detail

CtlReport report_response(const IpcResponse& response) {
    const bool error = std::holds_alternative<IpcResponse::Error>(response.value);
    return CtlReport{error ? CTL_EXIT_ERROR_RESPONSE : CTL_EXIT_ANSWERED, serialize(response),
                     std::nullopt};
}

CtlReport report_failure(CtlFailure failure, std::string_view detail) {
    std::string line;
    switch (failure) {
        case CtlFailure::usage:
            line = std::string(CTL_USAGE_ERROR_PREFIX) + std::string(detail) + "; " +
                   std::string(CTL_USAGE);
            break;
        case CtlFailure::identity:
            line = std::string(CTL_IDENTITY_ERROR_PREFIX) + std::string(detail);
            break;
        case CtlFailure::no_pipe:
            line = std::string(CTL_NO_PIPE_ERROR_PREFIX) + std::string(detail);
            break;
        case CtlFailure::exchange:
            line = std::string(CTL_EXCHANGE_ERROR_PREFIX) + std::string(detail);
            break;
        case CtlFailure::library_search:
            line = std::string(CTL_LIBRARY_SEARCH_ERROR_PREFIX) + std::string(detail);
            break;
    }
    return CtlReport{CTL_EXIT_NO_EXCHANGE, std::nullopt, std::move(line)};
}

}  // namespace kavo
