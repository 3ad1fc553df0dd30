#include "platform/service_host.h"

#include <atomic>

#include "platform/win32/win32.h"

namespace kavo {

namespace {

// One service per process, so the dispatcher's plain callbacks find what
// they call here.
std::atomic<const ServiceEntry*> registered_entry{nullptr};
std::atomic<ServiceControlHandler> registered_handler{nullptr};

void WINAPI service_main_trampoline(DWORD argc, LPWSTR* argv) {
    std::vector<NativeString> parameters;
    for (DWORD i = 0; i < argc; ++i) {
        parameters.emplace_back(argv[i] != nullptr ? argv[i] : L"");
    }
    if (const ServiceEntry* entry = registered_entry.load()) {
        // A copy: the dispatcher may return, and its caller let go of the
        // entry, before this thread has finished with it.
        const ServiceEntry own = *entry;
        own(std::move(parameters));
    }
}

DWORD WINAPI control_trampoline(DWORD control, DWORD, LPVOID, LPVOID context) {
    const ServiceControlHandler handler = registered_handler.load();
    if (handler == nullptr) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return handler(control, context);
}

}  // namespace

OsResult<void> run_service_dispatcher(NativeView name, const ServiceEntry& entry) {
    registered_entry.store(&entry);
    NativeString terminated(name);
    SERVICE_TABLE_ENTRYW table[] = {
        {terminated.data(), service_main_trampoline},
        {nullptr, nullptr},
    };
    const BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
    const OsError error = dispatched ? OsError{} : last_os_error();
    registered_entry.store(nullptr);
    if (!dispatched) {
        return fail(error);
    }
    return ok();
}

OsResult<ServiceStatusReporter> register_service_control_handler(NativeView name,
                                                                 ServiceControlHandler handler,
                                                                 void* context) {
    registered_handler.store(handler);
    const NativeString terminated(name);
    SERVICE_STATUS_HANDLE handle =
        ::RegisterServiceCtrlHandlerExW(terminated.c_str(), control_trampoline, context);
    if (handle == nullptr) {
        return fail(last_os_error());
    }
    return ServiceStatusReporter(reinterpret_cast<void*>(handle));
}

OsResult<void> ServiceStatusReporter::report(const ServiceStatusRecord& record) const {
    SERVICE_STATUS status{};
    status.dwServiceType = record.service_type;
    status.dwCurrentState = record.current_state;
    status.dwControlsAccepted = record.controls_accepted;
    status.dwWin32ExitCode = record.win32_exit_code;
    status.dwServiceSpecificExitCode = record.service_specific_exit_code;
    status.dwCheckPoint = record.check_point;
    status.dwWaitHint = record.wait_hint;
    if (!::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle_), &status)) {
        return fail(last_os_error());
    }
    return ok();
}

}  // namespace kavo
