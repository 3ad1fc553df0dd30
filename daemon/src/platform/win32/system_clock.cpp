#include "platform/system_clock.h"

#include "platform/win32/win32.h"

namespace kavo {

std::uint64_t unix_time_millis() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t value =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return filetime_to_unix_millis(value);
}

}  // namespace kavo
