#include "platform/pipe_connect.h"

#include "platform/posix/posix.h"

namespace kavo {

OsResult<LocalStream> open_pipe(const asio::any_io_executor& executor, std::string_view name) {
    const auto address = posix::abstract_address(name);
    if (!address) {
        return fail(os_error(ENAMETOOLONG));
    }

    // Non-blocking, so that a full backlog is an answer rather than a wait.
    posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    int result = 0;
    do {
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->address),
                           address->length);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return fail(last_os_error());
    }
    LocalStream stream(executor);
    asio::error_code error;
    stream.assign(asio::local::stream_protocol(), fd.get(), error);
    if (error) {
        return fail(os_error(static_cast<std::uint32_t>(error.value())));
    }
    fd.release();
    return stream;
}

bool pipe_instance_absent(const OsError& error) {
    // No listener (ECONNREFUSED, ENOENT for a path), or a backlog that is
    // full for now (EAGAIN), the counterpart of a busy pipe on Windows.
    const int code = static_cast<int>(error.code);
    return code == ECONNREFUSED || code == ENOENT || code == EAGAIN;
}

}  // namespace kavo
