#include "ipc/status_answer.h"

#include <utility>

namespace kavo {

IpcResponse status_response(bool lease_active, std::optional<std::uint64_t> lease_expires_in,
                            bool core_running, std::string core_sha256) {
    IpcResponse::Status status;
    status.running = core_running;
    status.core_binary_name = std::string(STATUS_CORE_BINARY_NAME);
    status.protocol_version = PROTOCOL_VERSION;
    status.daemon_version = std::string(DAEMON_VERSION);
    status.core_sha256 = std::move(core_sha256);
    status.lease_active = lease_active;
    status.lease_expires_in_seconds = lease_expires_in;
    return IpcResponse{std::move(status)};
}

}  // namespace kavo
