#include "ipc/client.h"

#include "ipc/client_records.h"
#include "ipc/frame.h"
#include "ipc/frame_io.h"
#include "ipc/record_json.h"
#include "ipc/session.h"

namespace kavo {

asio::awaitable<Result<IpcResponse>> request_service(LocalStream& stream, std::string_view secret,
                                                     const IpcRequest& request) {
    auto challenge_body = co_await read_frame(stream);
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
    auto session_body = co_await read_frame(stream);
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

    auto response_body = co_await read_frame(stream);
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
    co_return std::move(response->response);
}

}  // namespace kavo
