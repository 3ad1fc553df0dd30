// IPC protocol, driven: the daemon's side of one connection. Challenge, client
// proof, session grant, one request, one signed response; then the stream is
// closed. Nothing is ever sent after a failure of the handshake.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "ipc/frame_io.h"
#include "ipc/protocol_id.h"
#include "ipc/records.h"
#include "ipc/session.h"
#include "platform/local_stream.h"
#include "platform/secret.h"

namespace kavo {

// Executes an authenticated request. Errors are answers, so it cannot fail.
using RequestHandler = std::function<asio::awaitable<IpcResponse>(IpcRequest)>;

// How an exchange ended; only `answered` sent a response.
enum class ExchangeEnd {
    answered,
    random_source_failed,
    challenge_not_sent,
    proof_not_read,
    proof_not_parsed,
    proof_refused,
    session_not_sent,
    request_not_read,
    response_too_long,
    response_not_sent,
};

struct HandshakeOutcome {
    // Present once the session has been granted.
    std::optional<SessionContext> session;
    ExchangeEnd failure = ExchangeEnd::answered;
};

// What an exchange runs on besides its stream, identity and handler. The
// service uses the defaults.
struct ExchangeOptions {
    // Each frame read gets this long.
    std::chrono::milliseconds read_limit = FRAME_READ_TIMEOUT;
    // Where the challenge and the session identifier draw their bytes.
    RandomSource random = fill_random;
};

// Serves the whole exchange and closes the stream. The connection task runs
// this detached, so it owns everything it uses: the stream, the connection's
// copy of the identity, the handler and the options.
asio::awaitable<ExchangeEnd> serve_exchange(LocalStream stream, SecretBytes secret,
                                            RequestHandler handler, ExchangeOptions options = {});

// The steps of serve_exchange. They borrow the stream, the session, the
// handler and the options from the exchange that awaits them.

// Steps 1 to 3: sends the challenge, checks the answer, grants the session.
asio::awaitable<HandshakeOutcome> run_handshake(LocalStream& stream, SecretBytes secret,
                                                const ExchangeOptions& options);

// The response a parsed or unparsed request body earns: the handler's answer
// for an authorised request, otherwise the matching error.
asio::awaitable<IpcResponse> answer_request(const SessionContext& session, std::string_view body,
                                            const RequestHandler& handler);

// The signed envelope, or nothing when it would not fit in one frame. An
// error text that is not UTF-8 is repaired first (error_response), so the
// client can read whatever the handler answered.
std::optional<std::string> signed_response_frame(const SessionContext& session,
                                                 const IpcResponse& response);

}  // namespace kavo
