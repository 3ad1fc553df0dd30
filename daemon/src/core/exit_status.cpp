#include "core/exit_status.h"

namespace kavo {

std::string core_exit_status_text(std::uint32_t exit_code) {
    std::string text(EXIT_STATUS_PREFIX);
    if ((exit_code & 0x80000000u) == 0) {
        return text + std::to_string(exit_code);
    }
    constexpr std::string_view DIGITS = "0123456789abcdef";
    std::string hex;
    for (std::uint32_t rest = exit_code; rest != 0; rest >>= 4) {
        hex.insert(hex.begin(), DIGITS[rest & 0xf]);
    }
    return text + "0x" + hex;
}

}  // namespace kavo
