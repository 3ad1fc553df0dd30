#include "ipc/protocol_id.h"

#include "platform/hex.h"

namespace kavo {

std::string format_protocol_id(std::array<std::uint8_t, PROTOCOL_ID_BYTES> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return hex_lower(bytes);
}

Result<std::string> new_protocol_id(const RandomSource& random) {
    std::array<std::uint8_t, PROTOCOL_ID_BYTES> bytes{};
    auto filled = random(bytes);
    if (!filled) {
        return fail(std::string(RANDOM_SOURCE_ERROR_PREFIX) + filled.error().text);
    }
    return format_protocol_id(bytes);
}

}  // namespace kavo
