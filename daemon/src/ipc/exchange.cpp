#include "ipc/exchange.h"

#include <asio/co_spawn.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "ipc/frame.h"
#include "ipc/record_json.h"
#include "platform/utf.h"

namespace kavo {
namespace {

asio::awaitable<ExchangeEnd> exchange_steps(LocalStream& stream, SecretBytes secret,
                                            const RequestHandler& handler,
                                            const ExchangeOptions& options) {
    HandshakeOutcome handshake = co_await run_handshake(stream, std::move(secret), options);
    if (!handshake.session) {
        co_return handshake.failure;
    }
    const SessionContext& session = *handshake.session;

    auto body = co_await read_frame(stream, options.read_limit);
    if (!body) {
        co_return ExchangeEnd::request_not_read;
    }
    const IpcResponse response = co_await answer_request(session, *body, handler);
    const auto envelope = signed_response_frame(session, response);
    if (!envelope) {
        co_return ExchangeEnd::response_too_long;
    }
    if (!co_await write_frame(stream, *envelope)) {
        co_return ExchangeEnd::response_not_sent;
    }
    co_return ExchangeEnd::answered;
}

// Started by co_spawn rather than awaited as a call, so it owns its inputs.
asio::awaitable<ExchangeEnd> owned_exchange(LocalStream stream, SecretBytes secret,
                                            RequestHandler handler, ExchangeOptions options) {
    const ExchangeEnd end = co_await exchange_steps(stream, std::move(secret), handler, options);
    asio::error_code ignored;
    stream.close(ignored);
    co_return end;
}

// What the client is sent for `response`: an error text that is not UTF-8 is
// repaired, whoever built it.
std::string client_readable_json(const IpcResponse& response) {
    const auto* error = std::get_if<IpcResponse::Error>(&response.value);
    if (error && !is_valid_utf8(error->message)) {
        return serialize(error_response(error->message));
    }
    return serialize(response);
}

}  // namespace

asio::awaitable<ExchangeEnd> serve_exchange(LocalStream stream, SecretBytes secret,
                                            RequestHandler handler, ExchangeOptions options) {
    // Every read races a timer against the stream. On a context that several
    // threads run, the two completions must not run at once, so the exchange
    // keeps to a strand of its own.
    auto strand = asio::make_strand(stream.get_executor());
    co_return co_await asio::co_spawn(strand,
                                      owned_exchange(std::move(stream), std::move(secret),
                                                     std::move(handler), std::move(options)),
                                      asio::use_awaitable);
}

asio::awaitable<HandshakeOutcome> run_handshake(LocalStream& stream, SecretBytes secret,
                                                const ExchangeOptions& options) {
    auto started = SessionContext::start(std::move(secret), options.random);
    if (!started) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::random_source_failed};
    }
    SessionContext session = std::move(started).value();

    if (!co_await write_frame(stream, serialize(session.challenge_record()))) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::challenge_not_sent};
    }
    auto body = co_await read_frame(stream, options.read_limit);
    if (!body) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::proof_not_read};
    }
    auto answer = parse_client_proof(*body);
    if (!answer) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::proof_not_parsed};
    }
    if (!session.accepts(*answer)) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::proof_refused};
    }
    auto grant = session.grant(options.random);
    if (!grant) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::random_source_failed};
    }
    if (!co_await write_frame(stream, serialize(*grant))) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::session_not_sent};
    }
    co_return HandshakeOutcome{std::move(session), ExchangeEnd::answered};
}

asio::awaitable<IpcResponse> answer_request(const SessionContext& session, std::string_view body,
                                            const RequestHandler& handler) {
    auto request = parse_session_request(body);
    if (!request) {
        co_return error_response(INVALID_REQUEST_MESSAGE);
    }
    if (check_request(session, *request) != RequestCheck::accepted) {
        co_return error_response(UNAUTHORIZED_REQUEST_MESSAGE);
    }
    co_return co_await handler(std::move(request->request));
}

std::optional<std::string> signed_response_frame(const SessionContext& session,
                                                 const IpcResponse& response) {
    // One serialisation serves both the proof and the envelope.
    const std::string response_json = client_readable_json(response);
    std::string envelope =
        session_response_json(sign_response(session, response_json), response_json);
    if (envelope.size() > MAX_FRAME_LEN) {
        return std::nullopt;
    }
    return envelope;
}

}  // namespace kavo
