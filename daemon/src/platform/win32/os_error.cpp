#include "platform/os_error.h"

#include "platform/native_string.h"
#include "platform/win32/win32.h"

namespace kavo {

OsError os_error(std::uint32_t code) {
    OsError error;
    error.code = code;
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            error.kind = OsErrorKind::not_found;
            break;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            error.kind = OsErrorKind::already_exists;
            break;
        case ERROR_ACCESS_DENIED:
            error.kind = OsErrorKind::access_denied;
            break;
        case ERROR_BROKEN_PIPE:
            error.kind = OsErrorKind::broken_pipe;
            break;
        default:
            break;
    }
    // One line: the message's own line breaks are dropped, though breaks the
    // message text hard-codes stay (format_os_error_text folds those).
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                             FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                         nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    win32::UniqueLocalMemory owner(buffer);
    std::string message;
    if (length != 0 && buffer != nullptr) {
        message = native_to_utf8(NativeView(buffer, length)).value_or(std::string());
    }
    error.text = format_os_error_text(std::move(message), code);
    return error;
}

OsError last_os_error() {
    return os_error(::GetLastError());
}

}  // namespace kavo
