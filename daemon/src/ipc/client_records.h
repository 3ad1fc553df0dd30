// IPC protocol, pure: the client's end of the records. It reads what the
// daemon writes (challenge, session grant, signed response) and writes the
// request envelope, with the same strict reader the daemon uses.
#pragma once

#include <string>
#include <string_view>

#include "ipc/records.h"
#include "platform/result.h"

namespace kavo {

// The envelope embeds the already serialised request, so the bytes inside
// are exactly the bytes the proof was computed over.
std::string session_request_json(std::string_view session_id, std::string_view request_json,
                                 std::string_view proof);

Result<IpcChallenge> parse_challenge(std::string_view body);
Result<IpcServerSession> parse_server_session(std::string_view body);
Result<IpcSessionResponse> parse_session_response(std::string_view body);
Result<IpcResponse> parse_response(std::string_view text);

}  // namespace kavo
