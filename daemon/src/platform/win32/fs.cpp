#include "platform/fs.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/path.h"
#include "platform/process_info.h"
#include "platform/win32/win32.h"
#include "platform/write_loop.h"

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

// The owner that protection gives an entry no privileged account owns.
constexpr const wchar_t* ADMINISTRATORS_OWNER = L"O:BA";
static_assert(PROTECTED_DACL_FLAGS ==
              (DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION));

}  // namespace

OsResult<FileAttributes> read_attributes_following(const NativeString& path) {
    return read_attributes(path, 0);
}

// gcc 12 at -O2 takes the moved-from short string inside the entry's variant
// for uninitialized; the entry is built from a fully formed string.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
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
#pragma GCC diagnostic pop

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

namespace {

// A self-relative security descriptor built from SDDL, released with
// LocalFree on every path.
Result<win32::UniqueLocalMemory, ProtectError> descriptor_from_sddl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        return fail(ProtectError{ProtectStage::prepare, last_os_error()});
    }
    return win32::UniqueLocalMemory(descriptor);
}

// The owner part of the security descriptor of the object behind `handle`,
// which must have been opened with READ_CONTROL.
OsResult<std::vector<std::uint8_t>> owner_descriptor(HANDLE handle) {
    DWORD needed = 0;
    ::GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) {
        return fail(last_os_error());
    }
    std::vector<std::uint8_t> buffer(needed);
    if (!::GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, buffer.data(), needed,
                                   &needed)) {
        return fail(last_os_error());
    }
    return buffer;
}

// Whether `sid` is the user this process runs as.
bool is_own_user(PSID sid) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const win32::UniqueKernelHandle token(raw);
    DWORD needed = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    std::vector<std::uint8_t> buffer(needed);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed)) {
        return false;
    }
    return ::EqualSid(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, sid) != FALSE;
}

// Whether LocalSystem or the Administrators group owns the object behind
// `handle` (opened with READ_CONTROL).
OsResult<bool> owned_by_system_or_administrators(HANDLE handle) {
    KAVO_TRY(const std::vector<std::uint8_t> descriptor, owner_descriptor(handle));
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(const_cast<std::uint8_t*>(descriptor.data()), &owner,
                                      &defaulted)) {
        return fail(last_os_error());
    }
    if (owner == nullptr) {
        return false;
    }
    if (::IsWellKnownSid(owner, WinLocalSystemSid) ||
        ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    // Wine keeps no owners: it reports its own user as the owner of every
    // file, whoever made it. Windows never takes this branch.
    return running_under_wine() && is_own_user(owner);
}

// The owner first: whoever owns an entry can rewrite its access list. Then
// the protected access list. Both through the handle, so the object that was
// opened and checked is the one that is changed; the low-level call writes
// this one object and propagates nothing to what lies below it.
Result<void, ProtectError> protect_handle(HANDLE handle, bool is_directory) {
    auto owned = owned_by_system_or_administrators(handle);
    if (!owned) {
        return fail(ProtectError{ProtectStage::protect, std::move(owned).error()});
    }
    if (!*owned) {
        KAVO_TRY(const win32::UniqueLocalMemory descriptor,
                 descriptor_from_sddl(ADMINISTRATORS_OWNER));
        if (!::SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, descriptor.get())) {
            return fail(ProtectError{ProtectStage::protect, last_os_error()});
        }
    }
    KAVO_TRY(const win32::UniqueLocalMemory descriptor,
             descriptor_from_sddl(is_directory ? DIRECTORY_SDDL : FILE_SDDL));
    if (!::SetKernelObjectSecurity(handle, PROTECTED_DACL_FLAGS, descriptor.get())) {
        return fail(ProtectError{ProtectStage::protect, last_os_error()});
    }
    return ok();
}

// The volume and the file's number on it; FileHandle reads it the same way,
// so identities from both can be compared.
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

OsResult<FileAttributes> attributes_of(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return fail(last_os_error());
    }
    return FileAttributes{info.FileAttributes, info.ReparseTag};
}

// Opens the entry itself (a link is not followed; a directory is admitted)
// with `access`, sharing `share`.
win32::UniqueFileHandle open_entry_handle(const NativeString& path, DWORD access, DWORD share) {
    return win32::UniqueFileHandle(
        ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Opens the entry with the first of `tries` that the system grants; only a
// refusal of access moves on to the next, smaller one.
win32::UniqueFileHandle open_entry_granted(const NativeString& path,
                                           std::initializer_list<DWORD> tries, DWORD share,
                                           DWORD& granted) {
    for (const DWORD access : tries) {
        win32::UniqueFileHandle handle = open_entry_handle(path, access, share);
        if (handle.valid() || ::GetLastError() != ERROR_ACCESS_DENIED) {
            granted = access;
            return handle;
        }
    }
    return win32::UniqueFileHandle();
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Without delete sharing nobody can rename or delete the entry while the
// handle is open. The share mode only binds others when the handle itself
// reads data, hence the listing right.
constexpr DWORD PIN_ACCESS = FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY;
constexpr DWORD PIN_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
// What protecting an object through its handle needs.
constexpr DWORD PROTECT_ACCESS = READ_CONTROL | WRITE_DAC | WRITE_OWNER;

}  // namespace

struct TreeEntry::Impl {
    // Open on a directory that is not a link, and pinning it (with the rights
    // to protect it, where granted); for anything else the entry is looked at
    // through a handle that reads only attributes and is closed again, so a
    // file in use elsewhere is never kept from its user.
    win32::UniqueFileHandle pin;
};

TreeEntry::TreeEntry(std::unique_ptr<Impl> impl, NativeString path, FileAttributes attributes,
                     FileIdentity identity)
    : impl_(std::move(impl)),
      path_(std::move(path)),
      attributes_(attributes),
      identity_(identity) {}
TreeEntry::TreeEntry(TreeEntry&&) noexcept = default;
TreeEntry& TreeEntry::operator=(TreeEntry&&) noexcept = default;
TreeEntry::~TreeEntry() = default;

OsResult<TreeEntry> TreeEntry::open(const NativeString& path) {
    const win32::UniqueFileHandle look = open_entry_handle(path, FILE_READ_ATTRIBUTES, SHARE_ALL);
    if (!look.valid()) {
        return fail(last_os_error());
    }
    KAVO_TRY(const FileAttributes attributes, attributes_of(look.get()));
    KAVO_TRY(const FileIdentity looked_at, identity_of(look.get()));
    auto impl = std::make_unique<Impl>();
    if (is_directory(attributes)) {
        // The pin must be the directory that was looked at, not whatever took
        // its name in between.
        DWORD granted = 0;
        impl->pin =
            open_entry_granted(path, {PIN_ACCESS | PROTECT_ACCESS, PIN_ACCESS}, PIN_SHARE, granted);
        if (!impl->pin.valid()) {
            return fail(last_os_error());
        }
        KAVO_TRY(const FileIdentity pinned, identity_of(impl->pin.get()));
        KAVO_TRY(const FileAttributes pinned_attributes, attributes_of(impl->pin.get()));
        if (!(looked_at == pinned) || !is_directory(pinned_attributes)) {
            return fail(os_error(ERROR_CANT_ACCESS_FILE));
        }
    }
    return TreeEntry(std::move(impl), path, attributes, looked_at);
}

OsResult<TreeEntry> TreeEntry::open_child(const NativeString& name) const {
    if (!impl_ || !impl_->pin.valid()) {
        return fail(os_error(ERROR_DIRECTORY));
    }
    return TreeEntry::open(join_native(path_, name));
}

Result<void, ProtectError> TreeEntry::protect() const {
    if (!impl_) {
        return fail(ProtectError{ProtectStage::protect, os_error(ERROR_INVALID_HANDLE)});
    }
    if (is_link(attributes_)) {
        return fail(ProtectError{ProtectStage::protect, os_error(ERROR_CANT_ACCESS_FILE)});
    }
    if (impl_->pin.valid()) {
        return protect_handle(impl_->pin.get(), true);
    }
    // A file is opened again for the change, and must still be the object
    // that was looked at.
    const win32::UniqueFileHandle file = open_entry_handle(path_, PROTECT_ACCESS, SHARE_ALL);
    if (!file.valid()) {
        return fail(ProtectError{ProtectStage::protect, last_os_error()});
    }
    const auto identity = identity_of(file.get());
    const auto attributes = attributes_of(file.get());
    if (!identity || !attributes || !(*identity == identity_) || is_link(*attributes) ||
        is_directory(*attributes)) {
        return fail(ProtectError{ProtectStage::protect, os_error(ERROR_CANT_ACCESS_FILE)});
    }
    return protect_handle(file.get(), false);
}

OsResult<std::vector<DirectoryEntry>> TreeEntry::list() const {
    if (!impl_ || !impl_->pin.valid()) {
        return fail(os_error(ERROR_DIRECTORY));
    }
    return list_directory(path_);
}

OsResult<void> TreeEntry::remove_child(const NativeString& name, TreeEntry child) const {
    if (!impl_ || !impl_->pin.valid()) {
        return fail(os_error(ERROR_DIRECTORY));
    }
    const FileAttributes attributes = child.attributes();
    // Deleting needs the child unshared: its own pin goes first.
    child.close();
    const NativeString path = join_native(path_, name);
    if ((attributes.attributes & ATTRIBUTE_DIRECTORY) != 0) {
        return remove_empty_directory(path);
    }
    return remove_file(path);
}

void TreeEntry::close() {
    impl_.reset();
}

namespace {

// The owner Administrators and the protected directory access list, for a
// directory made by the service.
constexpr const wchar_t* OWNED_DIRECTORY_SDDL = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

OsResult<void> create_with_descriptor(const NativeString& path, const wchar_t* sddl) {
    auto descriptor = descriptor_from_sddl(sddl);
    if (!descriptor) {
        return fail(std::move(descriptor).error().error);
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor->get();
    attributes.bInheritHandle = FALSE;
    if (!::CreateDirectoryW(path.c_str(), &attributes)) {
        return fail(last_os_error());
    }
    return ok();
}

}  // namespace

OsResult<void> create_protected_directory(const NativeString& path) {
    auto created = create_with_descriptor(path, OWNED_DIRECTORY_SDDL);
    if (!created && created.error().code == ERROR_INVALID_OWNER) {
        // A token that may not name the Administrators as owner: its own
        // default owner (LocalSystem or the Administrators) is used instead.
        return create_with_descriptor(path, DIRECTORY_SDDL);
    }
    return created;
}

struct HeldEntry::Impl {
    win32::UniqueFileHandle handle;
};

HeldEntry::HeldEntry(std::unique_ptr<Impl> impl, NativeString path, FileAttributes attributes,
                     FileIdentity identity, bool owned_by_system)
    : impl_(std::move(impl)),
      path_(std::move(path)),
      attributes_(attributes),
      identity_(identity),
      owned_by_system_(owned_by_system) {}
HeldEntry::HeldEntry(HeldEntry&&) noexcept = default;
HeldEntry& HeldEntry::operator=(HeldEntry&&) noexcept = default;
HeldEntry::~HeldEntry() = default;

OsResult<HeldEntry> HeldEntry::open(const NativeString& path) {
    // The right to delete comes from the entry's own access list or from the
    // parent's right to delete its children; an owner that cannot be read
    // leaves the entry counted as somebody else's.
    constexpr DWORD BASE = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    DWORD granted = 0;
    auto impl = std::make_unique<Impl>();
    impl->handle =
        open_entry_granted(path,
                           {BASE | DELETE | READ_CONTROL | FILE_WRITE_ATTRIBUTES,
                            BASE | DELETE | READ_CONTROL, BASE | DELETE, BASE | READ_CONTROL, BASE},
                           SHARE_ALL, granted);
    if (!impl->handle.valid()) {
        return fail(last_os_error());
    }
    KAVO_TRY(const FileAttributes attributes, attributes_of(impl->handle.get()));
    KAVO_TRY(const FileIdentity identity, identity_of(impl->handle.get()));
    bool system_owned = false;
    if ((granted & READ_CONTROL) != 0) {
        const auto owned = owned_by_system_or_administrators(impl->handle.get());
        system_owned = owned && *owned;
    }
    return HeldEntry(std::move(impl), path, attributes, identity, system_owned);
}

OsResult<void> HeldEntry::rename_within_directory(NativeView new_name) {
    const auto directory = parent_path(NativeView(path_), NATIVE_PATH_STYLE);
    if (!directory) {
        return fail(os_error(ERROR_INVALID_NAME));
    }
    return move_to(join_native(*directory, new_name));
}

OsResult<void> HeldEntry::move_to(const NativeString& target) {
    if (!impl_) {
        return fail(os_error(ERROR_INVALID_HANDLE));
    }
    // FILE_RENAME_INFO ends in the new name, of variable length. Without
    // MOVEFILE_COPY_ALLOWED's fallback, another volume fails the rename.
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, target.data(), name_bytes);
    if (!::SetFileInformationByHandle(impl_->handle.get(), FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size()))) {
        return fail(last_os_error());
    }
    path_ = target;
    return ok();
}

namespace {

// FILE_DISPOSITION_INFO_EX, which the toolchain's headers lack: deletion
// with the name gone at once and a read-only attribute ignored (Windows 10
// 1809 and later).
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionInfoEx {
    DWORD flags;
};
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;

}  // namespace

OsResult<void> HeldEntry::remove() {
    if (!impl_) {
        return fail(os_error(ERROR_INVALID_HANDLE));
    }
    const HANDLE handle = impl_->handle.get();
    DispositionInfoEx extended{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                               DISPOSITION_IGNORE_READONLY};
    if (!::SetFileInformationByHandle(handle, FILE_DISPOSITION_INFO_EX_CLASS, &extended,
                                      sizeof extended)) {
        // Older systems and other file systems: the read-only attribute goes
        // first, through the same handle, then the plain deletion.
        if ((attributes_.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            FILE_BASIC_INFO basic{};
            if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
                return fail(last_os_error());
            }
            basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
            if (basic.FileAttributes == 0) {
                basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            }
            if (!::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
                return fail(last_os_error());
            }
        }
        FILE_DISPOSITION_INFO plain{TRUE};
        if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain)) {
            return fail(last_os_error());
        }
    }
    // The entry goes when the last handle to it closes: ours goes now.
    impl_.reset();
    return ok();
}

OsResult<void> remove_file_at_restart(const NativeString& path) {
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<NativeString> resolved_path(const NativeString& path) {
    // Only the attributes: a file in use elsewhere (a running program's
    // image among them) opens all the same.
    win32::UniqueFileHandle handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL,
                                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                                 nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    NativeString resolved(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle.get(), resolved.data(),
                                                         static_cast<DWORD>(resolved.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return fail(last_os_error());
        }
        // Too small: the length asked for, terminator included.
        if (length < resolved.size()) {
            resolved.resize(length);
            return resolved;
        }
        resolved.resize(length);
    }
}

OsResult<void> write_whole_file(const NativeString& path, std::string_view bytes) {
    win32::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return fail(last_os_error());
    }
    constexpr std::size_t MAX_CALL_BYTES = std::size_t{1} << 30;
    return write_all_through(
        bytes,
        [&](std::string_view rest) {
            const DWORD chunk = static_cast<DWORD>(std::min(rest.size(), MAX_CALL_BYTES));
            DWORD put = 0;
            if (!::WriteFile(file.get(), rest.data(), chunk, &put, nullptr)) {
                return WriteAttempt::failure(last_os_error());
            }
            return WriteAttempt::took(put);
        },
        [] { return os_error(ERROR_WRITE_FAULT); });
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
