// Platform seam: the wall clock, for time stamps a person reads (the core log
// banner). Durations and expiry use the monotonic clock instead.
#pragma once

#include <cstdint>

namespace kavo {

// Whole milliseconds since 1970-01-01 00:00:00 UTC; 0 when the clock is set
// before 1970.
std::uint64_t unix_time_millis();

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01 UTC.
inline constexpr std::uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;

// A FILETIME value (100-nanosecond intervals since 1601) as milliseconds since
// 1970, 0 when it lies before 1970.
constexpr std::uint64_t filetime_to_unix_millis(std::uint64_t filetime) {
    return filetime < FILETIME_UNIX_EPOCH ? 0 : (filetime - FILETIME_UNIX_EPOCH) / 10000;
}

}  // namespace kavo
