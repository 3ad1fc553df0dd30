// IPC protocol, pure: the JSON form of every pipe record. Writing follows the
// member orders of the protocol exactly; reading accepts members in any
// order, ignores unknown members and refuses missing ones.
#pragma once

#include <string>
#include <string_view>

#include "ipc/records.h"
#include "platform/result.h"

namespace kavo {

std::string serialize(const IpcChallenge& record);
std::string serialize(const IpcClientProof& record);
std::string serialize(const IpcServerSession& record);
std::string serialize(const IpcRequest& record);
std::string serialize(const IpcResponse& record);

// The bytes a request proof covers: the compact JSON of the request alone.
std::string canonical_request_json(const IpcRequest& request);

// The envelopes embed the already serialised request or response, so the
// bytes inside are exactly the bytes the proof was computed over.
std::string session_request_json(std::string_view session_id, std::string_view request_json,
                                 std::string_view proof);
std::string session_response_json(std::string_view proof, std::string_view response_json);

Result<IpcChallenge> parse_challenge(std::string_view body);
Result<IpcClientProof> parse_client_proof(std::string_view body);
Result<IpcServerSession> parse_server_session(std::string_view body);
Result<IpcSessionRequest> parse_session_request(std::string_view body);
Result<IpcSessionResponse> parse_session_response(std::string_view body);
Result<IpcRequest> parse_request(std::string_view text);
Result<IpcResponse> parse_response(std::string_view text);

}  // namespace kavo
