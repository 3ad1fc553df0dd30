#include "platform/fs.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/path.h"
#include "platform/posix/posix.h"
#include "platform/write_loop.h"

namespace kavo {

namespace {

// A symbolic link is reported the way Windows reports one: a reparse point
// with the symbolic-link tag, so one link rule serves both systems.
FileAttributes attributes_of(const struct stat& info) {
    FileAttributes attributes;
    if (S_ISLNK(info.st_mode)) {
        attributes.attributes = ATTRIBUTE_REPARSE_POINT;
        attributes.reparse_tag = REPARSE_TAG_SYMLINK;
    } else if (S_ISDIR(info.st_mode)) {
        attributes.attributes = ATTRIBUTE_DIRECTORY;
    } else {
        attributes.attributes = ATTRIBUTE_NORMAL;
    }
    return attributes;
}

FileIdentity identity_of(const struct stat& info) {
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), 0,
                        static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return fail(last_os_error());
    }
    return attributes_of(info);
}

OsResult<std::uint64_t> file_size(const NativeString& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return fail(last_os_error());
    }
    return static_cast<std::uint64_t>(info.st_size);
}

OsResult<void> rename_replace(const NativeString& from, const NativeString& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> remove_file(const NativeString& path) {
    if (::unlink(path.c_str()) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

namespace {

// Closes a directory stream exactly once.
struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

OsResult<FileAttributes> read_attributes_following(const NativeString& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return fail(last_os_error());
    }
    return attributes_of(info);
}

namespace {

// The entries of the directory open at `fd`, which the listing takes over.
OsResult<std::vector<DirectoryEntry>> list_open_directory(posix::UniqueFd fd) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.get()));
    if (!dir) {
        return fail(last_os_error());
    }
    fd.release();  // the stream owns it now
    // A duplicated descriptor shares its position with the original.
    ::rewinddir(dir.get());
    std::vector<DirectoryEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                entries.emplace_back(fail(last_os_error()));
            }
            return entries;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        entries.emplace_back(NativeString(name));
    }
}

}  // namespace

OsResult<std::vector<DirectoryEntry>> list_directory(const NativeString& path) {
    // O_NOFOLLOW: a link at the path is refused, never listed through.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    return list_open_directory(std::move(fd));
}

OsResult<void> create_directory(const NativeString& path) {
    // Private from the first moment; protection follows.
    if (::mkdir(path.c_str(), 0700) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> create_protected_directory(const NativeString& path) {
    // 0700 from the first moment, owned by whoever creates it (root, for the
    // service); the umask can only take bits away.
    if (::mkdir(path.c_str(), 0700) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> remove_empty_directory(const NativeString& path) {
    // A link to a directory is not a directory here: rmdir would refuse it.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        return remove_file(path);
    }
    if (::rmdir(path.c_str()) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> rename_directory(const NativeString& from, const NativeString& to) {
    // Like a rename on Windows, an existing target (even an empty directory)
    // makes the rename fail instead of being replaced.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

struct TreeEntry::Impl {
    // A directory is open for reading, so that it can be listed and its
    // children opened below it; anything else is an O_PATH descriptor, which
    // never opens the object itself (no FIFO waits, no device opens).
    posix::UniqueFd fd;
    struct stat info {};
};

namespace {

// Opens `name` relative to `dir_fd` without following a link there.
OsResult<std::unique_ptr<TreeEntry::Impl>> open_entry(int dir_fd, const char* name) {
    auto impl = std::make_unique<TreeEntry::Impl>();
    impl->fd.reset(::openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!impl->fd.valid()) {
        return fail(last_os_error());
    }
    if (::fstat(impl->fd.get(), &impl->info) != 0) {
        return fail(last_os_error());
    }
    if (S_ISDIR(impl->info.st_mode)) {
        // Reopened through the descriptor itself: the same directory, whatever
        // its name leads to by now.
        posix::UniqueFd directory(
            ::openat(impl->fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid()) {
            return fail(last_os_error());
        }
        impl->fd = std::move(directory);
    }
    return impl;
}

// Owner first (root), then the mode, both through the descriptor. chown
// clears set-id bits, which the mode written afterwards leaves cleared too.
Result<void, ProtectError> protect_entry(const TreeEntry::Impl& entry, bool is_directory) {
    if (S_ISLNK(entry.info.st_mode)) {
        return fail(ProtectError{ProtectStage::protect, os_error(ELOOP)});
    }
    if (entry.info.st_uid != 0 &&
        ::fchownat(entry.fd.get(), "", 0, 0, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(ProtectError{ProtectStage::protect, last_os_error()});
    }
    // An O_PATH descriptor takes no fchmod; its /proc name reaches the very
    // object it refers to.
    const std::string self = "/proc/self/fd/" + std::to_string(entry.fd.get());
    const mode_t mode = is_directory ? 0700 : 0600;
    if (::chmod(self.c_str(), mode) != 0) {
        return fail(ProtectError{ProtectStage::protect, last_os_error()});
    }
    return ok();
}

}  // namespace

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
    KAVO_TRY(auto impl, open_entry(AT_FDCWD, path.c_str()));
    const FileAttributes attributes = attributes_of(impl->info);
    const FileIdentity identity = identity_of(impl->info);
    return TreeEntry(std::move(impl), path, attributes, identity);
}

OsResult<TreeEntry> TreeEntry::open_child(const NativeString& name) const {
    if (!impl_ || !S_ISDIR(impl_->info.st_mode)) {
        return fail(os_error(ENOTDIR));
    }
    KAVO_TRY(auto impl, open_entry(impl_->fd.get(), name.c_str()));
    const FileAttributes attributes = attributes_of(impl->info);
    const FileIdentity identity = identity_of(impl->info);
    return TreeEntry(std::move(impl), join_native(path_, name), attributes, identity);
}

Result<void, ProtectError> TreeEntry::protect() const {
    if (!impl_) {
        return fail(ProtectError{ProtectStage::protect, os_error(EBADF)});
    }
    return protect_entry(*impl_, S_ISDIR(impl_->info.st_mode));
}

OsResult<std::vector<DirectoryEntry>> TreeEntry::list() const {
    if (!impl_ || !S_ISDIR(impl_->info.st_mode)) {
        return fail(os_error(ENOTDIR));
    }
    posix::UniqueFd copy(::fcntl(impl_->fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.valid()) {
        return fail(last_os_error());
    }
    return list_open_directory(std::move(copy));
}

OsResult<void> TreeEntry::remove_child(const NativeString& name, TreeEntry child) const {
    if (!impl_ || !S_ISDIR(impl_->info.st_mode)) {
        return fail(os_error(ENOTDIR));
    }
    const bool directory = is_directory(child.attributes());
    child.close();
    if (::unlinkat(impl_->fd.get(), name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

void TreeEntry::close() {
    impl_.reset();
}

struct HeldEntry::Impl {
    // The directory the entry is in, and the entry's name there.
    posix::UniqueFd directory;
    std::string name;
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
    const std::string name(last_component(NativeView(path), NATIVE_PATH_STYLE));
    const NativeString directory =
        parent_path(NativeView(path), NATIVE_PATH_STYLE).value_or(NativeString("."));
    if (name.empty() || name == "." || name == "..") {
        return fail(os_error(EINVAL));
    }
    auto impl = std::make_unique<Impl>();
    impl->directory.reset(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!impl->directory.valid()) {
        return fail(last_os_error());
    }
    impl->name = name;
    struct stat info {};
    if (::fstatat(impl->directory.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(last_os_error());
    }
    return HeldEntry(std::move(impl), path, attributes_of(info), identity_of(info),
                     info.st_uid == 0);
}

namespace {

// Whether `name` in `directory` is still the object with `identity`.
OsResult<void> still_there(int directory, const std::string& name, const FileIdentity& identity) {
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(last_os_error());
    }
    if (!(identity_of(info) == identity)) {
        return fail(os_error(ESTALE));
    }
    return ok();
}

}  // namespace

OsResult<void> HeldEntry::rename_within_directory(NativeView new_name) {
    if (!impl_) {
        return fail(os_error(EBADF));
    }
    KAVO_TRY_OK(still_there(impl_->directory.get(), impl_->name, identity_));
    const std::string target(new_name);
    if (::renameat2(impl_->directory.get(), impl_->name.c_str(), impl_->directory.get(),
                    target.c_str(), RENAME_NOREPLACE) != 0) {
        return fail(last_os_error());
    }
    impl_->name = target;
    path_ = join_native(parent_path(NativeView(path_), NATIVE_PATH_STYLE).value_or("."), target);
    return ok();
}

OsResult<void> HeldEntry::move_to(const NativeString& target) {
    if (!impl_) {
        return fail(os_error(EBADF));
    }
    const std::string name(last_component(NativeView(target), NATIVE_PATH_STYLE));
    const NativeString directory =
        parent_path(NativeView(target), NATIVE_PATH_STYLE).value_or(NativeString("."));
    if (name.empty() || name == "." || name == "..") {
        return fail(os_error(EINVAL));
    }
    posix::UniqueFd target_directory(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!target_directory.valid()) {
        return fail(last_os_error());
    }
    KAVO_TRY_OK(still_there(impl_->directory.get(), impl_->name, identity_));
    if (::renameat2(impl_->directory.get(), impl_->name.c_str(), target_directory.get(),
                    name.c_str(), RENAME_NOREPLACE) != 0) {
        return fail(last_os_error());
    }
    impl_->directory = std::move(target_directory);
    impl_->name = name;
    path_ = target;
    return ok();
}

OsResult<void> HeldEntry::remove() {
    if (!impl_) {
        return fail(os_error(EBADF));
    }
    KAVO_TRY_OK(still_there(impl_->directory.get(), impl_->name, identity_));
    const int flags = is_directory(attributes_) ? AT_REMOVEDIR : 0;
    if (::unlinkat(impl_->directory.get(), impl_->name.c_str(), flags) != 0) {
        return fail(last_os_error());
    }
    impl_.reset();
    return ok();
}

OsResult<void> remove_file_at_restart(const NativeString&) {
    return fail(os_error(EOPNOTSUPP));
}

OsResult<NativeString> resolved_path(const NativeString& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return fail(last_os_error());
    }
    NativeString result(resolved);
    ::free(resolved);
    return result;
}

OsResult<void> write_whole_file(const NativeString& path, std::string_view bytes) {
    posix::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    const int raw = fd.get();
    KAVO_TRY_OK(write_all_through(
        bytes,
        [raw](std::string_view rest) {
            const ssize_t put = ::write(raw, rest.data(), rest.size());
            if (put < 0) {
                return errno == EINTR ? WriteAttempt::retry()
                                      : WriteAttempt::failure(last_os_error());
            }
            return WriteAttempt::took(static_cast<std::size_t>(put));
        },
        [] { return os_error(EIO); }));
    if (::close(fd.release()) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<PathProtection> read_protection(const NativeString& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return fail(last_os_error());
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return PathProtection{std::to_string(info.st_uid), mode};
}

}  // namespace kavo
