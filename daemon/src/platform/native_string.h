// Platform seam: native strings. Paths and arguments are UTF-16 on Windows and
// bytes on Linux; this is the one place that knows which.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kavo {

#if defined(_WIN32)
using NativeChar = wchar_t;
#define KAVO_NATIVE(text) L##text
#else
using NativeChar = char;
#define KAVO_NATIVE(text) text
#endif

// An executable's file name as this system writes it: "name.exe" on Windows,
// "name" on Linux.
#if defined(_WIN32)
#define KAVO_EXECUTABLE_NAME(stem) KAVO_NATIVE(stem ".exe")
#else
#define KAVO_EXECUTABLE_NAME(stem) KAVO_NATIVE(stem)
#endif

using NativeString = std::basic_string<NativeChar>;
using NativeView = std::basic_string_view<NativeChar>;

// Whether `text` is exactly `ascii`, code unit for code unit: how flags and
// options, which are ASCII, are told on a command line of either width.
template <class Char>
bool equals_ascii(std::basic_string_view<Char> text, std::string_view ascii) {
    if (text.size() != ascii.size()) {
        return false;
    }
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        if (text[i] != static_cast<Char>(static_cast<unsigned char>(ascii[i]))) {
            return false;
        }
    }
    return true;
}

// A native string as UTF-8; fails when it is not Unicode text (an unpaired
// surrogate on Windows, invalid UTF-8 on Linux).
std::optional<std::string> native_to_utf8(NativeView text);
// UTF-8 as a native string; invalid sequences become U+FFFD.
NativeString utf8_to_native(std::string_view text);

}  // namespace kavo
