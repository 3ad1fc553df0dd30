#include "platform/fs.h"

#include <algorithm>
#include <vector>

#include "platform/path.h"
#include "platform/win32/win32.h"

namespace kavo {

namespace {

// FILE_FLAG_BACKUP_SEMANTICS admits directories.
OsResult<FileAttributes> read_attributes(const NativeString& path, DWORD extra_flags) {
    win32::UniqueFileHandle handle(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | extra_flags, nullptr));
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

}  // namespace

OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path) {
    // FILE_FLAG_OPEN_REPARSE_POINT reads the link itself, never its target.
    return read_attributes(path, FILE_FLAG_OPEN_REPARSE_POINT);
}

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
    if (::DeleteFileW(path.c_str())) {
        return ok();
    }
    const OsError error = last_os_error();
    // A read-only file cannot be deleted until the attribute is cleared; the
    // attribute belongs to the link itself when the path is one.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (error.code != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return fail(error);
    }
    if (!::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) ||
        !::DeleteFileW(path.c_str())) {
        return fail(last_os_error());
    }
    return ok();
}

namespace {

// The protected access lists: full access for LocalSystem and built-in
// Administrators only, nothing inherited from the parent. A directory's grants
// are inherited by the files and directories created in it later.
constexpr const wchar_t* FILE_SDDL = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr const wchar_t* DIRECTORY_SDDL = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION: owner,
// group and SACL stay as they are.
constexpr SECURITY_INFORMATION PROTECTED_DACL_FLAGS = 0x80000004;
static_assert(PROTECTED_DACL_FLAGS ==
              (DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION));

}  // namespace

OsResult<FileAttributes> read_attributes_following(const NativeString& path) {
    return read_attributes(path, 0);
}

OsResult<std::vector<DirectoryEntry>> list_directory(const NativeString& path) {
    const NativeString pattern = join_native(path, L"*");
    WIN32_FIND_DATAW data{};
    win32::UniqueFindHandle search(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                                      FindExSearchNameMatch, nullptr, 0));
    std::vector<DirectoryEntry> entries;
    if (!search.valid()) {
        const OsError error = last_os_error();
        // An empty drive root matches nothing at all, not even "."; only a
        // missing directory is reported as not found.
        if (error.code == ERROR_FILE_NOT_FOUND) {
            const auto attributes = read_attributes_no_follow(path);
            if (attributes && is_directory(*attributes)) {
                return entries;
            }
        }
        return fail(error);
    }
    for (;;) {
        const std::wstring_view name(data.cFileName);
        if (name != L"." && name != L"..") {
            entries.emplace_back(NativeString(name));
        }
        if (!::FindNextFileW(search.get(), &data)) {
            const OsError error = last_os_error();
            if (error.code != ERROR_NO_MORE_FILES) {
                entries.emplace_back(fail(error));
            }
            return entries;
        }
    }
}

OsResult<void> create_directory(const NativeString& path) {
    if (!::CreateDirectoryW(path.c_str(), nullptr)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> remove_empty_directory(const NativeString& path) {
    if (!::RemoveDirectoryW(path.c_str())) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> rename_directory(const NativeString& from, const NativeString& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), 0)) {
        return fail(last_os_error());
    }
    return ok();
}

Result<void, ProtectError> protect_path(const NativeString& path, bool is_directory) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            is_directory ? DIRECTORY_SDDL : FILE_SDDL, SDDL_REVISION_1, &descriptor, nullptr)) {
        return fail(ProtectError{ProtectStage::prepare, last_os_error()});
    }
    // Released with LocalFree on every path from here on.
    win32::UniqueLocalMemory owner(descriptor);
    if (!::SetFileSecurityW(path.c_str(), PROTECTED_DACL_FLAGS, descriptor)) {
        return fail(ProtectError{ProtectStage::protect, last_os_error()});
    }
    return ok();
}

namespace {

// One part of a security descriptor in SDDL form.
OsResult<std::string> sddl_part(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION part) {
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, part,
                                                                &text, nullptr)) {
        return fail(last_os_error());
    }
    win32::UniqueLocalMemory owner(text);
    auto utf8 = native_to_utf8(text);
    if (!utf8) {
        return fail(os_error(ERROR_INVALID_DATA));
    }
    return std::move(*utf8);
}

}  // namespace

OsResult<PathProtection> read_protection(const NativeString& path) {
    // READ_CONTROL on a handle opened at the entry itself (a link is not
    // followed, a directory is admitted).
    win32::UniqueFileHandle handle(::CreateFileW(
        path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    constexpr SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    ::GetKernelObjectSecurity(handle.get(), wanted, nullptr, 0, &needed);
    if (needed == 0) {
        return fail(last_os_error());
    }
    std::vector<std::uint8_t> buffer(needed);
    if (!::GetKernelObjectSecurity(handle.get(), wanted, buffer.data(), needed, &needed)) {
        return fail(last_os_error());
    }
    const PSECURITY_DESCRIPTOR descriptor = buffer.data();
    auto owner = sddl_part(descriptor, OWNER_SECURITY_INFORMATION);
    if (!owner) {
        return fail(std::move(owner).error());
    }
    auto access = sddl_part(descriptor, DACL_SECURITY_INFORMATION);
    if (!access) {
        return fail(std::move(access).error());
    }
    return PathProtection{std::move(*owner), std::move(*access)};
}

}  // namespace kavo
