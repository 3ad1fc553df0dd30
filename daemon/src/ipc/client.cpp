#include "ipc/client.h"

#include <optional>

#include <asio/co_spawn.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "ipc/client_records.h"
#include "ipc/frame.h"
#include "ipc/frame_io.h"
#include "ipc/record_json.h"
#include "ipc/session.h"

namespace kavo {
namespace {

// Started by co_spawn rather than awaited as a call, so it owns its inputs;
// the stream closes when the frame goes. co_spawn wants a result it can
// default-construct, which a Result is not: the optional is always set.
asio::awaitable<std::optional<Result<IpcResponse>>> owned_exchange(LocalStream stream,
                                                                   SecretBytes secret_copy,
                                                                   IpcRequest request,
                                                                   ClientTimeouts timeouts) {
    const std::string_view secret = secret_copy.view();
    auto challenge_body = co_await read_frame(stream, timeouts.handshake);
    if (!challenge_body) {
        co_return fail(std::string(CLIENT_NO_CHALLENGE_ERROR));
    }
    auto challenge = parse_challenge(*challenge_body);
    if (!challenge) {
        co_return fail(std::string(CLIENT_BAD_CHALLENGE_ERROR));
    }
    auto answered = co_await write_frame(stream, serialize(answer_challenge(secret, *challenge)));
    if (!answered) {
        co_return fail(std::string(CLIENT_SEND_ERROR_PREFIX) + answered.error());
    }

    // The daemon closes without a word when it does not accept the answer.
    auto session_body = co_await read_frame(stream, timeouts.handshake);
    if (!session_body) {
        co_return fail(std::string(CLIENT_NO_SESSION_ERROR));
    }
    auto grant = parse_server_session(*session_body);
    if (!grant || !verify_session_grant(secret, *challenge, *grant)) {
        co_return fail(std::string(CLIENT_BAD_SESSION_ERROR));
    }

    const std::string request_json = canonical_request_json(request);
    const std::string envelope =
        session_request_json(grant->session_id, request_json,
                             sign_request(secret, *challenge, grant->session_id, request_json));
    if (envelope.size() > MAX_FRAME_LEN) {
        co_return fail(std::string(CLIENT_REQUEST_TOO_LONG_ERROR));
    }
    auto sent = co_await write_frame(stream, envelope);
    if (!sent) {
        co_return fail(std::string(CLIENT_SEND_ERROR_PREFIX) + sent.error());
    }

    auto response_body = co_await read_frame(stream, timeouts.answer);
    if (!response_body) {
        co_return fail(std::string(CLIENT_NO_RESPONSE_ERROR));
    }
    auto response = parse_session_response(*response_body);
    if (!response) {
        co_return fail(std::string(CLIENT_BAD_RESPONSE_ERROR));
    }
    // The daemon writes canonically, so writing the parsed response again
    // reproduces the bytes its proof covers.
    if (!verify_response(secret, *challenge, grant->session_id, serialize(response->response),
                         response->proof)) {
        co_return fail(std::string(CLIENT_BAD_RESPONSE_ERROR));
    }
    co_return Result<IpcResponse>(std::move(response->response));
}

}  // namespace

asio::awaitable<Result<IpcResponse>> request_service(LocalStream stream, SecretBytes secret,
                                                     IpcRequest request, ClientTimeouts timeouts) {
    // As on the daemon's side: each read races a timer, so the exchange keeps
    // to a strand of its own whatever runs the context.
    auto strand = asio::make_strand(stream.get_executor());
    auto response = co_await asio::co_spawn(
        strand, owned_exchange(std::move(stream), std::move(secret), std::move(request), timeouts),
        asio::use_awaitable);
    co_return std::move(*response);
}

}  // namespace kavo
