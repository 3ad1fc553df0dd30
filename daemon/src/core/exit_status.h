// Core runtime, pure: how the exit status of a core is written in messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavo {

inline constexpr std::string_view EXIT_STATUS_PREFIX = "exit code: ";

// "exit code: " and the code in decimal, or, when bit 31 is set (a Windows
// status such as 0xc0000005), "0x" and the code in lowercase hexadecimal.
std::string core_exit_status_text(std::uint32_t exit_code);

}  // namespace kavo
