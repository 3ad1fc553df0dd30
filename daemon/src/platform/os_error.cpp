#include "platform/os_error.h"

namespace kavo {

std::string format_os_error_text(std::string message, std::uint32_t code) {
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                                message.back() == ' ' || message.back() == '\t')) {
        message.pop_back();
    }
    if (message.empty()) {
        message = "Unknown error";
    }
    return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace kavo
