#include "platform/file_handle.h"

#include <vector>

#include "platform/posix/posix.h"
#include "platform/write_loop.h"

namespace kavo {

struct FileHandle::Impl {
    // Not open when the path was a link that was refused: O_NOFOLLOW gives
    // no descriptor for one.
    posix::UniqueFd fd;
};

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = 64 * 1024;

FileKind kind_of(mode_t mode) {
    if (S_ISREG(mode)) {
        return FileKind::regular;
    }
    if (S_ISDIR(mode)) {
        return FileKind::directory;
    }
    if (S_ISLNK(mode)) {
        return FileKind::link;
    }
    return FileKind::other;
}

// The error a read of something that is not a regular file fails with.
OsError not_a_file_error(FileKind kind) {
    switch (kind) {
        case FileKind::directory:
            return os_error(EISDIR);
        case FileKind::link:
            return os_error(ELOOP);
        default:
            return os_error(EINVAL);
    }
}

WriteAttempt write_once(int fd, std::string_view rest) {
    const ssize_t put = ::write(fd, rest.data(), rest.size());
    if (put < 0) {
        return errno == EINTR ? WriteAttempt::retry() : WriteAttempt::failure(last_os_error());
    }
    return WriteAttempt::took(static_cast<std::size_t>(put));
}

}  // namespace

FileHandle::FileHandle(std::unique_ptr<Impl> impl, FileKind kind)
    : impl_(std::move(impl)), kind_(kind) {}
FileHandle::FileHandle(FileHandle&&) noexcept = default;
FileHandle& FileHandle::operator=(FileHandle&&) noexcept = default;
FileHandle::~FileHandle() = default;

OsResult<FileHandle> FileHandle::open(const NativeString& path, LinkAtPath links) {
    // O_NONBLOCK: opening a FIFO does not wait for a writer (nor a device for
    // its carrier); it has no effect on reads of a regular file. O_NOCTTY: a
    // terminal never becomes ours.
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (links == LinkAtPath::refuse) {
        flags |= O_NOFOLLOW;
    }
    auto impl = std::make_unique<Impl>();
    impl->fd.reset(::open(path.c_str(), flags));
    if (!impl->fd.valid()) {
        const int error = errno;
        // O_NOFOLLOW reports a link at the path as ELOOP (EMLINK on some
        // systems).
        if (links == LinkAtPath::refuse && (error == ELOOP || error == EMLINK)) {
            return FileHandle(std::move(impl), FileKind::link);
        }
        return fail(os_error(static_cast<std::uint32_t>(error)));
    }
    struct stat info {};
    if (::fstat(impl->fd.get(), &info) != 0) {
        return fail(last_os_error());
    }
    const FileKind kind = kind_of(info.st_mode);
    return FileHandle(std::move(impl), kind);
}

OsResult<FileIdentity> FileHandle::identity() const {
    if (!impl_->fd.valid()) {
        return fail(os_error(ELOOP));
    }
    struct stat info {};
    if (::fstat(impl_->fd.get(), &info) != 0) {
        return fail(last_os_error());
    }
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), 0,
                        static_cast<std::uint64_t>(info.st_ino)};
}

OsResult<std::size_t> FileHandle::read(std::span<std::uint8_t> buffer) {
    if (kind_ != FileKind::regular) {
        return fail(not_a_file_error(kind_));
    }
    for (;;) {
        const ssize_t got = ::read(impl_->fd.get(), buffer.data(), buffer.size());
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return fail(last_os_error());
        }
    }
}

OsResult<void> FileHandle::rewind() {
    if (kind_ != FileKind::regular) {
        return fail(not_a_file_error(kind_));
    }
    if (::lseek(impl_->fd.get(), 0, SEEK_SET) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> FileHandle::copy_rest_to_new_file(const NativeString& to) {
    if (kind_ != FileKind::regular) {
        return fail(not_a_file_error(kind_));
    }
    // O_EXCL with O_CREAT also refuses a link at `to`, even a dangling one.
    posix::UniqueFd destination(
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!destination.valid()) {
        return fail(last_os_error());
    }
    const auto abandon = [&](OsError error) -> OsResult<void> {
        destination.reset();
        ::unlink(to.c_str());
        return fail(std::move(error));
    };
    std::vector<std::uint8_t> buffer(COPY_BUFFER_SIZE);
    auto copied = copy_all_through(
        buffer, [&](std::span<std::uint8_t> into) { return read(into); },
        [&](std::string_view rest) { return write_once(destination.get(), rest); },
        [] { return os_error(EIO); });
    if (!copied) {
        return abandon(std::move(copied).error());
    }
    if (::close(destination.release()) != 0) {
        return abandon(last_os_error());
    }
    return ok();
}

}  // namespace kavo
