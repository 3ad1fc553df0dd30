#include "platform/diagnostics.h"

#include <algorithm>
#include <string>

#include "platform/win32/win32.h"
#include "platform/write_loop.h"

namespace kavo {
namespace {

// The bytes go out as they are: no console code page, no CR before the LF.
void write_line(DWORD which, std::string_view line) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string text(line);
    text.push_back('\n');
    // A partial write is finished rather than dropped, and a stream that
    // takes nothing is given up on.
    static_cast<void>(write_all_through(
        text,
        [handle](std::string_view rest) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1u << 30));
            DWORD put = 0;
            if (!::WriteFile(handle, rest.data(), chunk, &put, nullptr)) {
                return WriteAttempt::failure(last_os_error());
            }
            return WriteAttempt::took(put);
        },
        [] { return os_error(ERROR_WRITE_FAULT); }));
}

}  // namespace

void write_error_line(std::string_view line) {
    write_line(STD_ERROR_HANDLE, line);
}

void write_output_line(std::string_view line) {
    write_line(STD_OUTPUT_HANDLE, line);
}

}  // namespace kavo
