#include "platform/append_file.h"

#include "platform/posix/posix.h"
#include "platform/write_loop.h"

namespace kavo {

struct AppendFile::Impl {
    posix::UniqueFd fd;
};

AppendFile::AppendFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&&) noexcept = default;
AppendFile::~AppendFile() = default;

OsResult<AppendFile> AppendFile::open(const NativeString& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    auto impl = std::make_unique<Impl>();
    impl->fd = std::move(fd);
    return AppendFile(std::move(impl));
}

OsResult<void> AppendFile::write_all(std::string_view bytes) {
    const int fd = impl_->fd.get();
    return write_all_through(
        bytes,
        [fd](std::string_view rest) {
            const ssize_t put = ::write(fd, rest.data(), rest.size());
            if (put < 0) {
                return errno == EINTR ? WriteAttempt::retry()
                                      : WriteAttempt::failure(last_os_error());
            }
            return WriteAttempt::took(static_cast<std::size_t>(put));
        },
        // A write that takes nothing (a full or vanished file system) would
        // otherwise be repeated forever.
        [] { return os_error(EIO); });
}

bool entry_exists(const NativeString& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace kavo
