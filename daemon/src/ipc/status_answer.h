// IPC protocol, pure: the Status answer and the versions it reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/records.h"

namespace kavo {

// Fixed fields of every Status answer.
inline constexpr std::uint32_t PROTOCOL_VERSION = 5;
inline constexpr std::string_view DAEMON_VERSION = "0.2.1";
// The core's name as clients know it, whatever the platform calls the file.
inline constexpr std::string_view STATUS_CORE_BINARY_NAME = "kavo_core.exe";

// The Status answer. `core_running` is what the poll of the core said (false
// with no core); `core_sha256` is the digest of the core executable.
IpcResponse status_response(bool lease_active, std::optional<std::uint64_t> lease_expires_in,
                            bool core_running, std::string core_sha256);

}  // namespace kavo
