// IPC protocol: identifiers for challenges, sessions and leases. Each is a
// random version-4 UUID written as 32 lowercase hex digits, no hyphens.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/os_error.h"
#include "platform/random.h"
#include "platform/result.h"

namespace kavo {

inline constexpr std::size_t PROTOCOL_ID_BYTES = 16;
inline constexpr std::size_t PROTOCOL_ID_DIGITS = 32;

inline constexpr std::string_view RANDOM_SOURCE_ERROR_PREFIX = "The system random source failed: ";

// Pure: sets the version (4) and variant (10xx) bits and writes the digits.
std::string format_protocol_id(std::array<std::uint8_t, PROTOCOL_ID_BYTES> bytes);

// Where identifiers draw their bytes: the system random source in the
// service. A replay of a recorded connection hands in the recorded bytes, so
// the service writes the same frames again.
using RandomSource = std::function<OsResult<void>(std::span<std::uint8_t>)>;

// 16 bytes from `random`, formatted as above.
Result<std::string> new_protocol_id(const RandomSource& random = fill_random);

}  // namespace kavo
