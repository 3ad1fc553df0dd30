#include "platform/fs.h"

#include "platform/win32/win32.h"

namespace kavo {

OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path) {
    // Opening with FILE_FLAG_OPEN_REPARSE_POINT reads the link itself, never
    // its target; FILE_FLAG_BACKUP_SEMANTICS admits directories.
    win32::UniqueFileHandle handle(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
        nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &info, sizeof info)) {
        return fail(last_os_error());
    }
    FileAttributes attributes;
    attributes.attributes = info.FileAttributes;
    attributes.reparse_tag = info.ReparseTag;
    return attributes;
}

OsResult<std::string> read_whole_file(const NativeString& path) {
    win32::UniqueFileHandle handle(::CreateFileW(path.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle.get(), buffer, sizeof buffer, &got, nullptr)) {
            return fail(last_os_error());
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, got);
    }
}

}  // namespace kavo

namespace kavo {

OsResult<std::uint64_t> file_size(const NativeString& path) {
    // GetFileAttributesExW reports the link itself; open the target instead.
    win32::UniqueFileHandle handle(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size)) {
        return fail(last_os_error());
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

OsResult<void> rename_replace(const NativeString& from, const NativeString& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> remove_file(const NativeString& path) {
    if (!::DeleteFileW(path.c_str())) {
        return fail(last_os_error());
    }
    return ok();
}

}  // namespace kavo
