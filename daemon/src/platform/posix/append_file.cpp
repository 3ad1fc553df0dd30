#include "platform/append_file.h"

#include <sys/uio.h>

#include "platform/posix/posix.h"

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
    while (!bytes.empty()) {
        const ssize_t put = ::write(impl_->fd.get(), bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(last_os_error());
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return ok();
}

bool entry_exists(const NativeString& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace kavo
