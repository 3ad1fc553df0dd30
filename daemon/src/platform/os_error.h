// Platform seam: operating-system errors, turned into our error text right at
// the failing call. Nothing above the platform layer sees a DWORD or an errno.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace kavo {

// The few error classes that behaviour code must tell apart.
enum class OsErrorKind {
    other,
    not_found,
    already_exists,
    access_denied,
    broken_pipe,
};

struct OsError {
    std::uint32_t code = 0;
    OsErrorKind kind = OsErrorKind::other;
    // "<system message> (os error N)"
    std::string text;
};

template <class T>
using OsResult = Result<T, OsError>;

// The error for an operating-system error code (GetLastError / errno value).
OsError os_error(std::uint32_t code);
// The error the calling thread's last failed call left behind.
OsError last_os_error();

// What the error text says when the system has no message for the code.
inline constexpr std::string_view UNKNOWN_OS_ERROR = "Unknown error";
// The text of a failed system call whose own error is not reported.
inline constexpr std::string_view WINAPI_CALL_FAILED = "IO error in winapi call";

// A message constant followed by the system's error text.
inline std::string with_os_text(std::string_view message, const OsError& error) {
    return with_text(message, error.text);
}

// The system's message as one line: each run of white space that holds a line
// break becomes one space, and white space at either end goes. System
// messages may hold line breaks (and usually end in one), which would split
// the single-line diagnostics they are written into.
std::string one_line_message(std::string_view message);

// "<message> (os error N)": the one place that builds the error text, with the
// message made one line.
std::string format_os_error_text(std::string message, std::uint32_t code);

}  // namespace kavo
