#include "platform/append_file.h"

#include <algorithm>

#include "platform/win32/win32.h"
#include "platform/write_loop.h"

namespace kavo {

struct AppendFile::Impl {
    win32::UniqueFileHandle handle;
};

AppendFile::AppendFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&&) noexcept = default;
AppendFile::~AppendFile() = default;

OsResult<AppendFile> AppendFile::open(const NativeString& path) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the
    // end of the file, whoever else writes to it.
    win32::UniqueFileHandle handle(
        ::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    auto impl = std::make_unique<Impl>();
    impl->handle = std::move(handle);
    return AppendFile(std::move(impl));
}

OsResult<void> AppendFile::write_all(std::string_view bytes) {
    const HANDLE handle = impl_->handle.get();
    return write_all_through(
        bytes,
        [handle](std::string_view rest) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1u << 30));
            DWORD put = 0;
            if (!::WriteFile(handle, rest.data(), chunk, &put, nullptr)) {
                return WriteAttempt::failure(last_os_error());
            }
            return WriteAttempt::took(put);
        },
        // A write that takes nothing would otherwise be repeated forever.
        [] { return os_error(ERROR_WRITE_FAULT); });
}

bool entry_exists(const NativeString& path) {
    // GetFileAttributesW describes a link itself, not its target.
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace kavo
