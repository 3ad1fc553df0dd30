#include "platform/fs.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/posix.h"

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

OsResult<std::vector<DirectoryEntry>> list_directory(const NativeString& path) {
    // O_NOFOLLOW: a link at the path is refused, never listed through.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.get()));
    if (!dir) {
        return fail(last_os_error());
    }
    fd.release();  // the stream owns it now
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

OsResult<void> create_directory(const NativeString& path) {
    // Private from the first moment; protection follows.
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

Result<void, ProtectError> protect_path(const NativeString& path, bool is_directory) {
    // Only root (the service's account) keeps access. AT_SYMLINK_NOFOLLOW makes
    // a link at the path fail rather than changing its target.
    const mode_t mode = is_directory ? 0700 : 0600;
    if (::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(ProtectError{ProtectStage::protect, last_os_error()});
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
