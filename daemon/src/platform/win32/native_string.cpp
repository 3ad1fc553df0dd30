#include "platform/native_string.h"

#include "platform/utf.h"

namespace kavo {

// wchar_t is a UTF-16 code unit on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::optional<std::string> native_to_utf8(NativeView text) {
    return utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

NativeString utf8_to_native(std::string_view text) {
    const std::u16string units = utf8_to_utf16_lossy(text);
    return NativeString(reinterpret_cast<const wchar_t*>(units.data()), units.size());
}

}  // namespace kavo
