#include "platform/os_error.h"

namespace kavo {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

}  // namespace

std::string one_line_message(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    std::size_t at = 0;
    while (at < message.size()) {
        if (!is_blank(message[at])) {
            line.push_back(message[at++]);
            continue;
        }
        std::size_t end = at;
        bool breaks = false;
        while (end < message.size() && is_blank(message[end])) {
            breaks = breaks || is_line_break(message[end]);
            ++end;
        }
        // White space at either end goes; a run with a line break becomes one
        // space; other white space inside the message stays as it is.
        if (at != 0 && end != message.size()) {
            if (breaks) {
                line.push_back(' ');
            } else {
                line.append(message.substr(at, end - at));
            }
        }
        at = end;
    }
    return line;
}

std::string format_os_error_text(std::string message, std::uint32_t code) {
    message = one_line_message(message);
    if (message.empty()) {
        message = UNKNOWN_OS_ERROR;
    }
    return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace kavo
