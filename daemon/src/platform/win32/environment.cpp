#include "platform/environment.h"

#include <string>

#include "platform/win32/win32.h"

namespace kavo {

std::optional<NativeString> read_environment_variable(std::string_view name) {
    const NativeString key = utf8_to_native(name);
    std::wstring value(64, L'\0');
    for (;;) {
        // A zero return is either an empty value or no variable at all.
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length =
            ::GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return NativeString();
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        // Too small: `length` is the size needed, terminator included.
        value.resize(length);
    }
}

}  // namespace kavo
