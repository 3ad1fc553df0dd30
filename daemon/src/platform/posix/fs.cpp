#include "platform/fs.h"

#include <cstdio>

#include "platform/posix/posix.h"

namespace kavo {

OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return fail(last_os_error());
    }
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

OsResult<std::string> read_whole_file(const NativeString& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(last_os_error());
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace kavo

namespace kavo {

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

}  // namespace kavo
