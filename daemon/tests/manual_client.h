// The client's side of a connection done by hand, frame by frame, so that
// tests can send what the real client never would, or send it slowly.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "ipc/client_records.h"
#include "ipc/frame_io.h"
#include "ipc/record_json.h"
#include "ipc/session.h"
#include "platform/local_stream.h"

namespace kavo::testing {

// What the handshake taught the client.
struct ManualSession {
    IpcChallenge challenge;
    IpcServerSession grant;
};

// Answers the challenge, each frame written by `send` (a function of the
// body that returns awaitable<bool>), and checks the grant; nothing when the
// daemon granted no session.
template <class Send>
asio::awaitable<std::optional<ManualSession>> manual_handshake(LocalStream& stream,
                                                               std::string_view secret, Send send) {
    auto challenge_body = co_await read_frame(stream);
    if (!challenge_body) {
        co_return std::nullopt;
    }
    auto challenge = parse_challenge(*challenge_body);
    if (!challenge) {
        co_return std::nullopt;
    }
    if (!co_await send(serialize(answer_challenge(secret, *challenge)))) {
        co_return std::nullopt;
    }
    auto grant_body = co_await read_frame(stream);
    if (!grant_body) {
        co_return std::nullopt;
    }
    auto grant = parse_server_session(*grant_body);
    if (!grant || !verify_session_grant(secret, *challenge, *grant)) {
        co_return std::nullopt;
    }
    co_return ManualSession{std::move(*challenge), std::move(*grant)};
}

// The same, each frame written whole.
inline asio::awaitable<std::optional<ManualSession>> manual_handshake(LocalStream& stream,
                                                                      std::string_view secret) {
    co_return co_await manual_handshake(
        stream, secret, [&stream](std::string body) -> asio::awaitable<bool> {
            co_return static_cast<bool>(co_await write_frame(stream, body));
        });
}

// The request envelope for `request`, signed for `session_id` (by default
// the granted one).
inline std::string signed_request(std::string_view secret, const ManualSession& session,
                                  const IpcRequest& request,
                                  std::optional<std::string> session_id = std::nullopt) {
    const std::string id = session_id.value_or(session.grant.session_id);
    const std::string json = canonical_request_json(request);
    return session_request_json(id, json, sign_request(secret, session.challenge, id, json));
}

}  // namespace kavo::testing
