#include "platform/native_string.h"

#include "platform/utf.h"

namespace kavo {

std::optional<std::string> native_to_utf8(NativeView text) {
    if (!is_valid_utf8(text)) {
        return std::nullopt;
    }
    return std::string(text);
}

NativeString utf8_to_native(std::string_view text) {
    return utf8_lossy(text);
}

}  // namespace kavo
