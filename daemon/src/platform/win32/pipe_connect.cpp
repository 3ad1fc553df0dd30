#include "platform/pipe_connect.h"

#include "platform/native_string.h"
#include "platform/win32/pipe_access.h"
#include "platform/win32/win32.h"

namespace kavo {

OsResult<LocalStream> open_pipe(const asio::any_io_executor& executor, std::string_view name) {
    const NativeString wide_name = utf8_to_native(name);
    // Only the rights the pipe's access list grants every user. Identification
    // only: the server may learn who the client is but not act as the client.
    win32::UniqueFileHandle handle(::CreateFileW(
        wide_name.c_str(), win32::PIPE_CLIENT_ACCESS, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!handle.valid()) {
        return fail(last_os_error());
    }
    LocalStream stream(executor);
    asio::error_code error;
    stream.assign(handle.get(), error);
    if (error) {
        return fail(os_error(static_cast<std::uint32_t>(error.value())));
    }
    handle.release();
    return stream;
}

bool pipe_instance_absent(const OsError& error) {
    // No instance of the name at all, or none free at the moment.
    return error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PIPE_BUSY;
}

}  // namespace kavo
