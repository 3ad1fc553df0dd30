#include "ipc/exchange.h"

#include "ipc/frame.h"
#include "ipc/frame_io.h"
#include "ipc/record_json.h"

namespace kavo {

asio::awaitable<HandshakeOutcome> run_handshake(LocalStream& stream, std::string secret) {
    auto started = SessionContext::start(std::move(secret));
    if (!started) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::random_source_failed};
    }
    SessionContext session = std::move(started).value();

    if (!co_await write_frame(stream, serialize(session.challenge_record()))) {
        co_return HandshakeOutcome{std::nullopt, ExchangeEnd::challenge_not_sent};
    }
    auto body = co_await read_frame(stream);
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
    auto grant = session.grant();
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
        co_return IpcResponse{IpcResponse::Error{std::string(INVALID_REQUEST_MESSAGE)}};
    }
    if (check_request(session, *request) != RequestCheck::accepted) {
        co_return IpcResponse{IpcResponse::Error{std::string(UNAUTHORIZED_REQUEST_MESSAGE)}};
    }
    co_return co_await handler(std::move(request->request));
}

std::optional<std::string> signed_response_frame(const SessionContext& session,
                                                 const IpcResponse& response) {
    // One serialisation serves both the proof and the envelope.
    const std::string response_json = serialize(response);
    std::string envelope =
        session_response_json(sign_response(session, response_json), response_json);
    if (envelope.size() > MAX_FRAME_LEN) {
        return std::nullopt;
    }
    return envelope;
}

namespace {

asio::awaitable<ExchangeEnd> exchange(LocalStream& stream, std::string secret,
                                      const RequestHandler& handler) {
    HandshakeOutcome handshake = co_await run_handshake(stream, std::move(secret));
    if (!handshake.session) {
        co_return handshake.failure;
    }
    const SessionContext& session = *handshake.session;

    auto body = co_await read_frame(stream);
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

}  // namespace

asio::awaitable<ExchangeEnd> serve_exchange(LocalStream& stream, std::string secret,
                                            RequestHandler handler) {
    const ExchangeEnd end = co_await exchange(stream, std::move(secret), handler);
    asio::error_code ignored;
    stream.close(ignored);
    co_return end;
}

}  // namespace kavo
