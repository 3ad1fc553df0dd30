#include "platform/file_handle.h"

#include <algorithm>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/win32/win32.h"
#include "platform/write_loop.h"

namespace kavo {

struct FileHandle::Impl {
    win32::UniqueFileHandle handle;
};

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = 64 * 1024;
// ReadFile and WriteFile take a DWORD count.
constexpr std::size_t MAX_CALL_BYTES = std::size_t{1} << 30;

OsResult<FileAttributes> attributes_of(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return fail(last_os_error());
    }
    return FileAttributes{info.FileAttributes, info.ReparseTag};
}

OsResult<FileIdentity> identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        return fail(last_os_error());
    }
    FileIdentity identity;
    identity.volume = info.dwVolumeSerialNumber;
    identity.low = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return identity;
}

OsResult<FileKind> kind_of(HANDLE handle) {
    // Only a file on a file system is a file: a pipe, a console or a device
    // reached through the path is something else.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return FileKind::other;
    }
    KAVO_TRY(const FileAttributes attributes, attributes_of(handle));
    if (is_link(attributes)) {
        return FileKind::link;
    }
    if (is_directory(attributes)) {
        return FileKind::directory;
    }
    // Reparse points that are not name surrogates count as ordinary files.
    return FileKind::regular;
}

// The error a read of something that is not a regular file fails with.
OsError not_a_file_error(FileKind kind) {
    return os_error(kind == FileKind::link ? ERROR_CANT_ACCESS_FILE : ERROR_INVALID_FUNCTION);
}

WriteAttempt write_once(HANDLE handle, std::string_view rest) {
    const DWORD chunk = static_cast<DWORD>(std::min(rest.size(), MAX_CALL_BYTES));
    DWORD put = 0;
    if (!::WriteFile(handle, rest.data(), chunk, &put, nullptr)) {
        return WriteAttempt::failure(last_os_error());
    }
    return WriteAttempt::took(put);
}

}  // namespace

FileHandle::FileHandle(std::unique_ptr<Impl> impl, FileKind kind)
    : impl_(std::move(impl)), kind_(kind) {}
FileHandle::FileHandle(FileHandle&&) noexcept = default;
FileHandle& FileHandle::operator=(FileHandle&&) noexcept = default;
FileHandle::~FileHandle() = default;

OsResult<FileHandle> FileHandle::open(const NativeString& path, LinkAtPath links) {
    // FILE_FLAG_BACKUP_SEMANTICS admits a directory, so that it is reported
    // rather than failing the open; FILE_FLAG_OPEN_REPARSE_POINT opens a link
    // itself. Should the path lead to a pipe, its server may only identify
    // us, never act as us (SECURITY_IDENTIFICATION).
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    if (links == LinkAtPath::refuse) {
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    auto impl = std::make_unique<Impl>();
    impl->handle.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, flags, nullptr));
    if (!impl->handle.valid()) {
        return fail(last_os_error());
    }
    auto kind = kind_of(impl->handle.get());
    if (!kind) {
        return fail(std::move(kind).error());
    }
    if (links == LinkAtPath::refuse && *kind == FileKind::regular) {
        KAVO_TRY(const FileAttributes attributes, attributes_of(impl->handle.get()));
        if (needs_reopen_to_read(attributes)) {
            // Opened as the reparse point itself, a placeholder may read as
            // its stub: the same file is opened again the ordinary way, and
            // must still be the same file.
            win32::UniqueFileHandle reopened(::ReOpenFile(impl->handle.get(), GENERIC_READ,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                          FILE_FLAG_BACKUP_SEMANTICS));
            if (!reopened.valid()) {
                return fail(last_os_error());
            }
            KAVO_TRY(const FileIdentity before, identity_of(impl->handle.get()));
            KAVO_TRY(const FileIdentity after, identity_of(reopened.get()));
            KAVO_TRY(const FileKind reopened_kind, kind_of(reopened.get()));
            if (!(before == after) || reopened_kind != FileKind::regular) {
                return fail(os_error(ERROR_CANT_ACCESS_FILE));
            }
            impl->handle = std::move(reopened);
        }
    }
    return FileHandle(std::move(impl), *kind);
}

OsResult<FileIdentity> FileHandle::identity() const {
    return identity_of(impl_->handle.get());
}

OsResult<std::size_t> FileHandle::read(std::span<std::uint8_t> buffer) {
    if (kind_ != FileKind::regular) {
        return fail(not_a_file_error(kind_));
    }
    const DWORD chunk = static_cast<DWORD>(std::min(buffer.size(), MAX_CALL_BYTES));
    DWORD got = 0;
    if (!::ReadFile(impl_->handle.get(), buffer.data(), chunk, &got, nullptr)) {
        return fail(last_os_error());
    }
    return static_cast<std::size_t>(got);
}

OsResult<void> FileHandle::rewind() {
    if (kind_ != FileKind::regular) {
        return fail(not_a_file_error(kind_));
    }
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(impl_->handle.get(), start, nullptr, FILE_BEGIN)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> FileHandle::copy_rest_to_new_file(const NativeString& to) {
    if (kind_ != FileKind::regular) {
        return fail(not_a_file_error(kind_));
    }
    // CREATE_NEW fails on any existing name, a link included. The new file
    // takes the access list its directory hands down.
    win32::UniqueFileHandle destination(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr,
                                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!destination.valid()) {
        return fail(last_os_error());
    }
    const auto abandon = [&](OsError error) -> OsResult<void> {
        destination.reset();
        ::DeleteFileW(to.c_str());
        return fail(std::move(error));
    };
    std::vector<std::uint8_t> buffer(COPY_BUFFER_SIZE);
    auto copied = copy_all_through(
        buffer, [&](std::span<std::uint8_t> into) { return read(into); },
        [&](std::string_view rest) { return write_once(destination.get(), rest); },
        [] { return os_error(ERROR_WRITE_FAULT); });
    if (!copied) {
        return abandon(std::move(copied).error());
    }
    return ok();
}

}  // namespace kavo
