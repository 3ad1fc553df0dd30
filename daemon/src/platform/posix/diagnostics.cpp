#include "platform/diagnostics.h"

#include <string>

#include "platform/posix/posix.h"

namespace kavo {
namespace {

void write_line(int fd, std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    const char* data = text.data();
    std::size_t left = text.size();
    // One write normally carries the whole line; a partial write is finished
    // rather than dropped.
    while (left > 0) {
        const ssize_t put = ::write(fd, data, left);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += put;
        left -= static_cast<std::size_t>(put);
    }
}

}  // namespace

void write_error_line(std::string_view line) {
    write_line(STDERR_FILENO, line);
}

void write_output_line(std::string_view line) {
    write_line(STDOUT_FILENO, line);
}

}  // namespace kavo
