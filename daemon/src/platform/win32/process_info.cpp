#include "platform/process_info.h"

#include "platform/win32/win32.h"

namespace kavo {

OsResult<std::vector<NativeString>> process_arguments() {
    int count = 0;
    wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (list == nullptr) {
        return fail(last_os_error());
    }
    win32::UniqueLocalMemory owner(reinterpret_cast<HLOCAL>(list));
    std::vector<NativeString> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.emplace_back(list[i]);
    }
    return arguments;
}

OsResult<NativeString> running_executable_path() {
    // Long paths can exceed MAX_PATH; grow until the name fits.
    NativeString path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return fail(last_os_error());
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) {
            return fail(os_error(ERROR_INSUFFICIENT_BUFFER));
        }
        path.resize(path.size() * 2);
    }
}

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

bool process_is_running(std::uint32_t id) {
    win32::UniqueKernelHandle process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process.valid()) {
        // A process we may not open still exists.
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

struct ProcessWatch::Impl {
    win32::UniqueKernelHandle process;
};

ProcessWatch::ProcessWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ProcessWatch::ProcessWatch(ProcessWatch&&) noexcept = default;
ProcessWatch& ProcessWatch::operator=(ProcessWatch&&) noexcept = default;
ProcessWatch::~ProcessWatch() = default;

OsResult<ProcessWatch> ProcessWatch::open(std::uint32_t id) {
    auto impl = std::make_unique<Impl>();
    impl->process.reset(::OpenProcess(SYNCHRONIZE, FALSE, id));
    if (!impl->process.valid()) {
        OsError error = last_os_error();
        // The system's answer for an identifier that names no process.
        if (error.code == ERROR_INVALID_PARAMETER) {
            error.kind = OsErrorKind::not_found;
        }
        return fail(std::move(error));
    }
    return ProcessWatch(std::move(impl));
}

OsResult<bool> ProcessWatch::has_ended() const {
    switch (::WaitForSingleObject(impl_->process.get(), 0)) {
        case WAIT_OBJECT_0:
            return true;
        case WAIT_TIMEOUT:
            return false;
        default:
            return fail(last_os_error());
    }
}

bool running_under_wine() {
    // Wine's ntdll exports its version query; Windows' ntdll has no such name.
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kavo
