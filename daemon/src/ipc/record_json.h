// IPC protocol, pure: the JSON form of every pipe record, and the reading of
// what the daemon receives. Writing follows the member orders of the protocol
// exactly; reading accepts members in any order, ignores unknown members and
// refuses missing ones. The client's reading of the daemon's records is in
// client_records.h.
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

// The envelope embeds the already serialised response, so the bytes inside
// are exactly the bytes the proof was computed over.
std::string session_response_json(std::string_view proof, std::string_view response_json);

Result<IpcClientProof> parse_client_proof(std::string_view body);
Result<IpcSessionRequest> parse_session_request(std::string_view body);
Result<IpcRequest> parse_request(std::string_view text);

}  // namespace kavo
