// IPC protocol, driven: the client's side of one connection. Answers the
// challenge, checks the daemon's grant, sends one signed request and checks
// the signature of the answer before trusting it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "ipc/records.h"
#include "platform/local_stream.h"
#include "platform/result.h"
#include "platform/secret.h"

namespace kavo {

inline constexpr std::string_view CLIENT_NO_CHALLENGE_ERROR =
    "The service did not send a challenge";
inline constexpr std::string_view CLIENT_BAD_CHALLENGE_ERROR =
    "The service sent a malformed challenge";
inline constexpr std::string_view CLIENT_NO_SESSION_ERROR = "The service refused the session";
inline constexpr std::string_view CLIENT_BAD_SESSION_ERROR =
    "The service's session grant did not verify";
inline constexpr std::string_view CLIENT_NO_RESPONSE_ERROR =
    "The service did not answer the request";
inline constexpr std::string_view CLIENT_BAD_RESPONSE_ERROR =
    "The service's response did not verify";
inline constexpr std::string_view CLIENT_REQUEST_TOO_LONG_ERROR =
    "The request does not fit in one frame";
inline constexpr std::string_view CLIENT_SEND_ERROR_PREFIX = "Failed to send to the service: ";

// How long the client waits for each part (length, then body) of each
// frame it reads. The challenge and the session grant come as soon as the
// service has reached the connection. The answer comes only once the request
// has been carried out, and requests are carried out one at a time: a start
// stages files and watches the core for 750 ms, and may wait behind another
// request's stop. Stopping to wait does not undo the request.
inline constexpr std::chrono::milliseconds CLIENT_HANDSHAKE_READ_TIMEOUT{5'000};
inline constexpr std::chrono::milliseconds CLIENT_ANSWER_READ_TIMEOUT{60'000};

struct ClientTimeouts {
    std::chrono::milliseconds handshake = CLIENT_HANDSHAKE_READ_TIMEOUT;
    std::chrono::milliseconds answer = CLIENT_ANSWER_READ_TIMEOUT;
};

// One exchange on a connected stream, which is closed afterwards. The task
// owns its inputs, so a caller may start it without awaiting it.
asio::awaitable<Result<IpcResponse>> request_service(LocalStream stream, SecretBytes secret,
                                                     IpcRequest request,
                                                     ClientTimeouts timeouts = {});

}  // namespace kavo
