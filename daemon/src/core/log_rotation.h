// Core, pure: the arithmetic of core log rotation and the names of the files.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace kavo {

inline constexpr std::string_view CORE_LOG_FILE_NAME = "core.log";
// The size at which "core.log" is rotated (5 MiB).
inline constexpr std::uint64_t CORE_LOG_ROTATION_SIZE = 5242880;
// "core.log.1" (newest) to "core.log.3" (oldest).
inline constexpr unsigned CORE_LOG_KEPT_FILES = 3;

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// A file found at start with this size is rotated before the core writes.
constexpr bool core_log_full(std::uint64_t size) {
    return size >= CORE_LOG_ROTATION_SIZE;
}

// Whether appending `line_len` bytes (line feed included) to a file that has
// `written` bytes must go to a fresh file first. A fresh file takes its first
// line whatever its length, so a line is never split between files.
constexpr bool core_log_rotation_due(std::uint64_t written, std::uint64_t line_len) {
    return written != 0 && saturating_add(written, line_len) > CORE_LOG_ROTATION_SIZE;
}

// "core.log." followed by `number` in decimal.
inline std::string rotated_core_log_name(unsigned number) {
    return std::string(CORE_LOG_FILE_NAME) + "." + std::to_string(number);
}

}  // namespace kavo
