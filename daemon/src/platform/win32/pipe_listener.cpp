#include "platform/pipe_listener.h"

#include <optional>
#include <string_view>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/overlapped_ptr.hpp>

#include "platform/native_string.h"
#include "platform/win32/pipe_access.h"
#include "platform/win32/win32.h"

namespace kavo {

struct PipeEndpoint::Impl {
    asio::any_io_executor executor;
    std::string name;
    NativeString wide_name;
    bool next_is_first = true;
    std::vector<bool> first_requests;
};

struct PipeInstance::Impl {
    asio::windows::stream_handle pipe;
};

namespace {

using namespace asio::experimental::awaitable_operators;

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// Byte type, byte read mode, blocking mode, remote clients refused.
constexpr DWORD PIPE_MODE =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
static_assert(PIPE_MODE == 8);
static_assert(PIPE_UNLIMITED_INSTANCES == 255);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);

// What PIPE_SDDL gives Authenticated Users: reading and writing data, and
// nothing of FILE_CREATE_PIPE_INSTANCE (the bit of FILE_APPEND_DATA), which
// would let them add server instances of the name.
static_assert(FILE_CREATE_PIPE_INSTANCE == FILE_APPEND_DATA);
static_assert(win32::AUTHENTICATED_USERS_PIPE_ACCESS == 0x0012019B);
static_assert((win32::AUTHENTICATED_USERS_PIPE_ACCESS & FILE_CREATE_PIPE_INSTANCE) == 0);
static_assert(PIPE_SDDL.find("(A;;0x12019b;;;AU)") != std::string_view::npos);

OsError error_of(const asio::error_code& error) {
    return os_error(static_cast<std::uint32_t>(error.value()));
}

// Starts an overlapped ConnectNamedPipe on the completion port. Cancelling it
// cancels the I/O pending on the instance, which is only this connect until
// a client is there; the completion still arrives, so the OVERLAPPED lives
// until the operation has really finished.
template <class Token>
auto async_connect_client(asio::windows::stream_handle& pipe, Token&& token) {
    return asio::async_initiate<Token, void(asio::error_code)>(
        [](auto handler, asio::windows::stream_handle* target) {
            const HANDLE native = target->native_handle();
            auto slot = asio::get_associated_cancellation_slot(handler);
            if (slot.is_connected()) {
                slot.assign([native](asio::cancellation_type) { ::CancelIoEx(native, nullptr); });
            }
            auto executor = asio::get_associated_executor(handler, target->get_executor());
            asio::windows::overlapped_ptr operation(
                target->get_executor(),
                asio::bind_executor(executor, [handler = std::move(handler)](asio::error_code error,
                                                                             std::size_t) mutable {
                    auto done = asio::get_associated_cancellation_slot(handler);
                    if (done.is_connected()) {
                        done.clear();
                    }
                    std::move(handler)(error);
                }));
            const BOOL connected = ::ConnectNamedPipe(native, operation.get());
            const DWORD code = ::GetLastError();
            if (!connected && code != ERROR_IO_PENDING) {
                // Finished at once, ERROR_PIPE_CONNECTED among others: no
                // completion packet comes, so complete it here.
                operation.complete(
                    asio::error_code(static_cast<int>(code), asio::system_category()), 0);
            } else {
                operation.release();
            }
        },
        std::forward<Token>(token), &pipe);
}

bool counts_as_connected(const asio::error_code& error) {
    if (!error) {
        return true;
    }
    // A client that connected before the wait began, or that connected and
    // already left (its end of the exchange then fails on the first read).
    const auto code = static_cast<DWORD>(error.value());
    return error.category() == asio::system_category() &&
           (code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA);
}

// Whether a client has opened the instance, without waiting: a listening
// instance refuses a peek, a connected one (or one whose client has already
// left again) does not.
bool client_opened(HANDLE pipe) {
    if (::PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr)) {
        return true;
    }
    return ::GetLastError() == ERROR_BROKEN_PIPE;
}

// Runs on a strand of its own: the connect and the timer complete on it,
// never at the same time. co_spawn wants a result it can default-construct,
// which the outcome is not: the optional is always set.
asio::awaitable<std::optional<PipeWaitOutcome>> connect_on_strand(PipeInstance& instance,
                                                                  std::chrono::milliseconds limit) {
    asio::windows::stream_handle& pipe = instance.impl().pipe;
    if (!pipe.is_open()) {
        // Spent on an earlier client.
        co_return PipeWaitOutcome(os_error(ERROR_INVALID_HANDLE));
    }
    asio::steady_timer timer(co_await asio::this_coro::executor, limit);
    std::optional<asio::error_code> connect_result;
    // The connect is wrapped so that its result is kept even when the timer
    // is seen first: a client that connected at the last moment is served.
    auto connect = [&]() -> asio::awaitable<void> {
        const auto [error] = co_await async_connect_client(pipe, use_tuple);
        connect_result = error;
    };
    co_await (connect() || timer.async_wait(use_tuple));
    if (connect_result && counts_as_connected(*connect_result)) {
        co_return PipeWaitOutcome(std::move(pipe));
    }
    if (!connect_result || *connect_result == asio::error::operation_aborted) {
        // Cancelling the wait does not stop the instance from listening (it
        // stays in the listening state and the next ConnectNamedPipe on it
        // waits again), so a client may have opened it since: serve it now
        // rather than a cycle later.
        if (client_opened(pipe.native_handle())) {
            co_return PipeWaitOutcome(std::move(pipe));
        }
        co_return PipeWaitOutcome(PipeWaitTimedOut{});
    }
    co_return PipeWaitOutcome(error_of(*connect_result));
}

}  // namespace

PipeEndpoint::PipeEndpoint(asio::any_io_executor executor, std::string name)
    : impl_(
          std::make_unique<Impl>(Impl{std::move(executor), name, utf8_to_native(name), true, {}})) {
}
PipeEndpoint::~PipeEndpoint() = default;
PipeEndpoint::PipeEndpoint(PipeEndpoint&&) noexcept = default;
PipeEndpoint& PipeEndpoint::operator=(PipeEndpoint&&) noexcept = default;

const std::string& PipeEndpoint::name() const {
    return impl_->name;
}

const std::vector<bool>& PipeEndpoint::first_instance_requests() const {
    return impl_->first_requests;
}

OsResult<PipeInstance> PipeEndpoint::create_instance() {
    // A fresh descriptor for every instance, released whatever the create
    // does.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const NativeString sddl = utf8_to_native(PIPE_SDDL);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return fail(last_os_error());
    }
    win32::UniqueLocalMemory descriptor_owner(descriptor);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;

    const bool first = impl_->next_is_first;
    if (impl_->first_requests.size() < FIRST_INSTANCE_REQUESTS_KEPT) {
        impl_->first_requests.push_back(first);
    }
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    win32::UniqueFileHandle handle(
        ::CreateNamedPipeW(impl_->wide_name.c_str(), open_mode, PIPE_MODE, PIPE_UNLIMITED_INSTANCES,
                           PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, &attributes));
    const DWORD code = ::GetLastError();
    descriptor_owner.reset();
    if (!handle.valid()) {
        return fail(os_error(code));
    }

    // Registers the instance with the completion port.
    asio::windows::stream_handle pipe(impl_->executor);
    asio::error_code error;
    pipe.assign(handle.get(), error);
    if (error) {
        return fail(error_of(error));
    }
    handle.release();
    impl_->next_is_first = false;
    return PipeInstance(std::make_unique<PipeInstance::Impl>(PipeInstance::Impl{std::move(pipe)}));
}

PipeInstance::PipeInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeInstance::~PipeInstance() = default;
PipeInstance::PipeInstance(PipeInstance&&) noexcept = default;
PipeInstance& PipeInstance::operator=(PipeInstance&&) noexcept = default;

OsResult<std::optional<std::string>> PipeInstance::access_text() {
    const HANDLE pipe = impl_->pipe.native_handle();
    DWORD needed = 0;
    ::GetKernelObjectSecurity(pipe, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) {
        return fail(last_os_error());
    }
    std::vector<std::uint8_t> buffer(needed);
    if (!::GetKernelObjectSecurity(pipe, DACL_SECURITY_INFORMATION, buffer.data(), needed,
                                   &needed)) {
        return fail(last_os_error());
    }
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            buffer.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return fail(last_os_error());
    }
    win32::UniqueLocalMemory owner(text);
    auto utf8 = native_to_utf8(text);
    if (!utf8) {
        return fail(os_error(ERROR_INVALID_DATA));
    }
    return std::optional<std::string>(std::move(*utf8));
}

asio::awaitable<PipeWaitOutcome> wait_for_client(PipeInstance& instance,
                                                 std::chrono::milliseconds limit) {
    auto strand = asio::make_strand(instance.impl().pipe.get_executor());
    auto outcome =
        co_await asio::co_spawn(strand, connect_on_strand(instance, limit), asio::use_awaitable);
    co_return std::move(*outcome);
}

OsResult<bool> pipe_name_present(std::string_view name) {
    const NativeString wide_name = utf8_to_native(name);
    if (::WaitNamedPipeW(wide_name.c_str(), 1)) {
        return true;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_SEM_TIMEOUT) {
        // Every instance is busy with a client: the name is still held.
        return true;
    }
    if (code == ERROR_FILE_NOT_FOUND) {
        return false;
    }
    return fail(os_error(code));
}

bool first_instance_is_enforced() {
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

}  // namespace kavo
