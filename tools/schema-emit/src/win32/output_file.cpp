#include "output_file.h"

#include <algorithm>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kavo::schema {

namespace {

std::error_code last_error() {
    return {static_cast<int>(::GetLastError()), std::system_category()};
}

}  // namespace

std::error_code replace_file_contents(const std::filesystem::path& path, std::string_view bytes) {
    // CREATE_ALWAYS truncates an existing file; a directory fails with access denied.
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    std::error_code result;
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, next, chunk, &written, nullptr)) {
            result = last_error();
            break;
        }
        next += written;
        left -= written;
    }
    if (!::CloseHandle(file) && !result) {
        result = last_error();
    }
    return result;
}

}  // namespace kavo::schema
