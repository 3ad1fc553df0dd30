#include "ipc/session.h"

#include <utility>

#include "ipc/proof.h"
#include "ipc/record_json.h"

namespace kavo {

Result<SessionContext> SessionContext::start(SecretBytes secret, const RandomSource& random) {
    KAVO_TRY(std::string challenge_id, new_protocol_id(random));
    KAVO_TRY(std::string challenge, new_protocol_id(random));
    return SessionContext(std::move(secret), std::move(challenge_id), std::move(challenge));
}

SessionContext::SessionContext(SecretBytes secret, std::string challenge_id, std::string challenge)
    : secret_(std::move(secret)),
      challenge_id_(std::move(challenge_id)),
      challenge_(std::move(challenge)) {}

IpcChallenge SessionContext::challenge_record() const {
    return {challenge_id_, challenge_};
}

bool SessionContext::accepts(const IpcClientProof& answer) const {
    if (answer.challenge_id.size() != challenge_id_.size() ||
        answer.challenge_id != challenge_id_) {
        return false;
    }
    return verify_proof(secret(), CLIENT_AUTH_LABEL, challenge_id_, challenge_, AUTH_VERSION_TAG,
                        answer.proof);
}

Result<IpcServerSession> SessionContext::grant(const RandomSource& random) {
    KAVO_TRY(session_id_, new_protocol_id(random));
    return IpcServerSession{session_id_, compute_proof(secret(), SERVER_SESSION_LABEL,
                                                       challenge_id_, challenge_, session_id_)};
}

RequestCheck check_request(const SessionContext& session, const IpcSessionRequest& request) {
    const std::string canonical = canonical_request_json(request.request);
    if (session.session_id().empty() || request.session_id.size() != session.session_id().size() ||
        request.session_id != session.session_id()) {
        return RequestCheck::unauthorized;
    }
    if (!verify_proof(session.secret(), CLIENT_REQUEST_LABEL, session.session_id(),
                      session.challenge(), canonical, request.proof)) {
        return RequestCheck::unauthorized;
    }
    return RequestCheck::accepted;
}

std::string sign_response(const SessionContext& session, std::string_view response_json) {
    return compute_proof(session.secret(), SERVER_RESPONSE_LABEL, session.session_id(),
                         session.challenge(), response_json);
}

IpcClientProof answer_challenge(std::string_view secret, const IpcChallenge& challenge) {
    return {challenge.challenge_id, compute_proof(secret, CLIENT_AUTH_LABEL, challenge.challenge_id,
                                                  challenge.challenge, AUTH_VERSION_TAG)};
}

bool verify_session_grant(std::string_view secret, const IpcChallenge& challenge,
                          const IpcServerSession& grant) {
    return verify_proof(secret, SERVER_SESSION_LABEL, challenge.challenge_id, challenge.challenge,
                        grant.session_id, grant.proof);
}

std::string sign_request(std::string_view secret, const IpcChallenge& challenge,
                         std::string_view session_id, std::string_view request_json) {
    return compute_proof(secret, CLIENT_REQUEST_LABEL, session_id, challenge.challenge,
                         request_json);
}

bool verify_response(std::string_view secret, const IpcChallenge& challenge,
                     std::string_view session_id, std::string_view response_json,
                     std::string_view proof) {
    return verify_proof(secret, SERVER_RESPONSE_LABEL, session_id, challenge.challenge,
                        response_json, proof);
}

}  // namespace kavo
