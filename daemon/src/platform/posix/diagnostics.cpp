#include "platform/diagnostics.h"

#include <string>

#include "platform/posix/posix.h"
#include "platform/write_loop.h"

namespace kavo {
namespace {

void write_line(int fd, std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    // One write normally carries the whole line; a partial write is finished
    // rather than dropped, and a stream that takes nothing is given up on.
    static_cast<void>(write_all_through(
        text,
        [fd](std::string_view rest) {
            const ssize_t put = ::write(fd, rest.data(), rest.size());
            if (put < 0) {
                return errno == EINTR ? WriteAttempt::retry()
                                      : WriteAttempt::failure(last_os_error());
            }
            return WriteAttempt::took(static_cast<std::size_t>(put));
        },
        [] { return os_error(EIO); }));
}

}  // namespace

void write_error_line(std::string_view line) {
    write_line(STDERR_FILENO, line);
}

void write_output_line(std::string_view line) {
    write_line(STDOUT_FILENO, line);
}

void report_error_lines_to_event_log(NativeView, DiagnosticSeverityOf) {
    // No event log here: standard error is the only place for the lines.
}

}  // namespace kavo
