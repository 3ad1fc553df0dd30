#include "platform/os_error.h"

#include <cstring>

#include "platform/posix/posix.h"

namespace kavo {

OsError os_error(std::uint32_t code) {
    OsError error;
    error.code = code;
    const int value = static_cast<int>(code);
    switch (value) {
        case ENOENT:
            error.kind = OsErrorKind::not_found;
            break;
        case EEXIST:
            error.kind = OsErrorKind::already_exists;
            break;
        case EACCES:
        case EPERM:
            error.kind = OsErrorKind::access_denied;
            break;
        case EPIPE:
            error.kind = OsErrorKind::broken_pipe;
            break;
        default:
            break;
    }
    char buffer[256];
    // The GNU strerror_r returns the message, not always in `buffer`.
    const char* message = ::strerror_r(value, buffer, sizeof buffer);
    error.text = format_os_error_text(message ? message : "", code);
    return error;
}

OsError last_os_error() {
    return os_error(static_cast<std::uint32_t>(errno));
}

}  // namespace kavo
