// IPC protocol: session authentication decisions for both ends of the pipe.
// No I/O here; the exchange and client drivers apply these to a stream.
#pragma once

#include <string>
#include <string_view>

#include "ipc/protocol_id.h"
#include "ipc/records.h"
#include "platform/result.h"
#include "platform/secret.h"

namespace kavo {

inline constexpr std::string_view INVALID_REQUEST_MESSAGE = "Invalid service request";
inline constexpr std::string_view UNAUTHORIZED_REQUEST_MESSAGE = "Unauthorized service request";

// One connection's authentication state. It holds the connection's own copy
// of the identity, wiped when the context goes; it is never copied again.
class SessionContext {
  public:
    // Draws challenge_id and challenge from `random`.
    static Result<SessionContext> start(SecretBytes secret, const RandomSource& random);

    SessionContext(SessionContext&&) noexcept = default;
    SessionContext& operator=(SessionContext&&) noexcept = default;
    SessionContext(const SessionContext&) = delete;
    SessionContext& operator=(const SessionContext&) = delete;

    std::string_view secret() const { return secret_.view(); }
    const std::string& challenge_id() const { return challenge_id_; }
    const std::string& challenge() const { return challenge_; }
    // Empty until the session is granted.
    const std::string& session_id() const { return session_id_; }

    IpcChallenge challenge_record() const;

    // The received challenge_id must equal ours byte for byte and the proof
    // must verify over it, our challenge and the version tag.
    bool accepts(const IpcClientProof& answer) const;

    // Draws the session_id from `random` and proves the grant.
    Result<IpcServerSession> grant(const RandomSource& random);

  private:
    SessionContext(SecretBytes secret, std::string challenge_id, std::string challenge);

    SecretBytes secret_;
    std::string challenge_id_;
    std::string challenge_;
    std::string session_id_;
};

enum class RequestCheck {
    accepted,
    unauthorized,
};

// The proof covers the canonical form of the parsed request, never the bytes
// the client sent.
RequestCheck check_request(const SessionContext& session, const IpcSessionRequest& request);

// Signed with the session's own session_id, whatever the client sent.
std::string sign_response(const SessionContext& session, std::string_view response_json);

// The client's side of the same proofs.
IpcClientProof answer_challenge(std::string_view secret, const IpcChallenge& challenge);
bool verify_session_grant(std::string_view secret, const IpcChallenge& challenge,
                          const IpcServerSession& grant);
std::string sign_request(std::string_view secret, const IpcChallenge& challenge,
                         std::string_view session_id, std::string_view request_json);
bool verify_response(std::string_view secret, const IpcChallenge& challenge,
                     std::string_view session_id, std::string_view response_json,
                     std::string_view proof);

}  // namespace kavo
