// Core runtime, pure: the names the daemon gives to the entries below the
// runtime root. Nothing with another name is ever deleted there.
#pragma once

#include <string>
#include <string_view>

namespace kavo {

// The prefix of a runtime directory that is still being assembled.
inline constexpr std::string_view RUNTIME_STAGING_PREFIX = "staging-";
// Hexadecimal digits in a lease identifier and so in a runtime entry name.
inline constexpr std::size_t RUNTIME_ID_DIGITS = 32;

// Exactly 32 hexadecimal digits (either case): a lease identifier as it may
// name a runtime directory.
bool is_runtime_id(std::string_view text);

// Exactly 32 hexadecimal digits (either case), or "staging-" followed by them.
bool is_runtime_entry_name(std::string_view name);

// "staging-" + `lease_id`: the name of a runtime staging directory.
std::string runtime_staging_name(std::string_view lease_id);

}  // namespace kavo
