// Core, pure: removal of credentials from one line of the core's output before
// it reaches the log file.
#pragma once

#include <string>
#include <string_view>

namespace kavo {

inline constexpr std::string_view REDACTED_TOKEN = "<redacted>";
inline constexpr std::string_view REDACTED_URL_TOKEN = "<redacted-url>";

// Splits `text` at Unicode white space and replaces every token that carries
// or introduces a credential; the tokens are joined again with single spaces.
std::string redact_line(std::string_view text);
// The same, appended to `out`.
void redact_line_into(std::string_view text, std::string& out);

}  // namespace kavo
