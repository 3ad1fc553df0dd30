#include "platform/diagnostics.h"

#include <string>

#include "platform/win32/win32.h"

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
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD put = 0;
        if (!::WriteFile(handle, data, static_cast<DWORD>(left), &put, nullptr) || put == 0) {
            return;
        }
        data += put;
        left -= put;
    }
}

}  // namespace

void write_error_line(std::string_view line) {
    write_line(STD_ERROR_HANDLE, line);
}

void write_output_line(std::string_view line) {
    write_line(STD_OUTPUT_HANDLE, line);
}

}  // namespace kavo
