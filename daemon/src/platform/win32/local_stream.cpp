#include "platform/local_stream.h"

#include <array>

#include "platform/hex.h"
#include "platform/os_error.h"
#include "platform/random.h"
#include "platform/win32/win32.h"

namespace kavo {
namespace {

std::string pair_error(const std::string& text) {
    return std::string(LOCAL_STREAM_PAIR_ERROR_PREFIX) + text;
}

}  // namespace

Result<LocalStreamPair> make_local_stream_pair(const asio::any_io_executor& executor) {
    // Pipe names are machine-wide, so each pair gets a random one.
    std::array<std::uint8_t, 16> random{};
    auto filled = fill_random(random);
    if (!filled) {
        return fail(pair_error(filled.error().text));
    }
    const std::string name = "\\\\.\\pipe\\kavo-test-" + hex_lower(random);
    const std::wstring wide_name(name.begin(), name.end());

    win32::UniqueFileHandle server(::CreateNamedPipeW(
        wide_name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, nullptr));
    if (!server.valid()) {
        return fail(pair_error(last_os_error().text));
    }
    win32::UniqueFileHandle client(::CreateFileW(wide_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                                 nullptr));
    if (!client.valid()) {
        return fail(pair_error(last_os_error().text));
    }
    // The client is already there, so the connect completes at once; it is
    // still issued so that the instance is formally connected.
    win32::UniqueKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.valid()) {
        return fail(pair_error(last_os_error().text));
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!::ConnectNamedPipe(server.get(), &overlapped)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_IO_PENDING) {
            DWORD ignored = 0;
            if (!::GetOverlappedResult(server.get(), &overlapped, &ignored, TRUE)) {
                return fail(pair_error(last_os_error().text));
            }
        } else if (code != ERROR_PIPE_CONNECTED) {
            return fail(pair_error(os_error(code).text));
        }
    }

    asio::error_code error;
    LocalStream server_stream(executor);
    server_stream.assign(server.get(), error);
    if (error) {
        return fail(pair_error(os_error(static_cast<std::uint32_t>(error.value())).text));
    }
    server.release();
    LocalStream client_stream(executor);
    client_stream.assign(client.get(), error);
    if (error) {
        return fail(pair_error(os_error(static_cast<std::uint32_t>(error.value())).text));
    }
    client.release();
    return LocalStreamPair{std::move(server_stream), std::move(client_stream)};
}

}  // namespace kavo
