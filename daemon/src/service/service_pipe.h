// The service pipe: its name and the time one listening instance waits for a
// client before the accept cycle goes round again.
#pragma once

#include <chrono>
#include <string_view>

namespace kavo {

inline constexpr std::string_view PIPE_NAME = "\\\\.\\pipe\\kavo-service-v5";
inline constexpr std::chrono::milliseconds ACCEPT_POLL_INTERVAL{200};

}  // namespace kavo
