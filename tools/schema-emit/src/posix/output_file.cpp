#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace kavo::schema {

namespace {

std::error_code last_error() {
    return {errno, std::system_category()};
}

}  // namespace

std::error_code replace_file_contents(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return last_error();
    }
    std::error_code result;
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = last_error();
            break;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    // A failed close can be the first report of a failed write.
    if (::close(fd) != 0 && !result) {
        result = last_error();
    }
    return result;
}

}  // namespace kavo::schema
