#include "platform/service_manager.h"

#include <vector>

#include "platform/win32/win32.h"

namespace kavo {

// Only the state, the exit codes and dwProcessId are read, but the manager
// writes the whole record.
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);

struct Service::Impl {
    win32::UniqueServiceHandle handle;
};

struct ServiceManager::Impl {
    win32::UniqueServiceHandle handle;
};

namespace {

// The error of a call on a handle that was closed.
OsError closed_handle_error() {
    return os_error(ERROR_INVALID_HANDLE);
}

}  // namespace

Service::Service(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Service::Service(Service&&) noexcept = default;
Service& Service::operator=(Service&&) noexcept = default;
Service::~Service() = default;

void Service::close() {
    if (impl_) {
        impl_->handle.reset();
    }
}

namespace {

OsResult<SERVICE_STATUS_PROCESS> query_status(SC_HANDLE handle) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed)) {
        return fail(last_os_error());
    }
    return status;
}

}  // namespace

OsResult<std::uint32_t> Service::query_state() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    KAVO_TRY(const auto status, query_status(impl_->handle.get()));
    return static_cast<std::uint32_t>(status.dwCurrentState);
}

OsResult<std::uint32_t> Service::process_id() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    KAVO_TRY(const auto status, query_status(impl_->handle.get()));
    return static_cast<std::uint32_t>(status.dwProcessId);
}

OsResult<ServiceExitCodes> Service::exit_codes() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    KAVO_TRY(const auto status, query_status(impl_->handle.get()));
    ServiceExitCodes codes;
    codes.win32_exit_code = status.dwWin32ExitCode;
    codes.service_specific_exit_code = status.dwServiceSpecificExitCode;
    return codes;
}

OsResult<void> Service::send_stop() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    SERVICE_STATUS status{};
    if (!::ControlService(impl_->handle.get(), SERVICE_CONTROL_STOP, &status)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> Service::remove() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    if (!::DeleteService(impl_->handle.get())) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> Service::set_description(NativeView description) const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    NativeString text(description);
    SERVICE_DESCRIPTIONW info{};
    info.lpDescription = text.data();
    if (!::ChangeServiceConfig2W(impl_->handle.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> Service::set_failure_actions(const ServiceFailureActions& actions) const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    std::vector<SC_ACTION> steps;
    for (const ServiceFailureAction& action : actions.actions) {
        steps.push_back(
            SC_ACTION{static_cast<SC_ACTION_TYPE>(action.type), action.delay_milliseconds});
    }
    // No reboot message and no command: null leaves them as they are, and a
    // new service has none.
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = actions.reset_period_seconds;
    info.cActions = static_cast<DWORD>(steps.size());
    info.lpsaActions = steps.empty() ? nullptr : steps.data();
    if (!::ChangeServiceConfig2W(impl_->handle.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> Service::set_failure_actions_on_stop_with_error(bool on) const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    SERVICE_FAILURE_ACTIONS_FLAG info{};
    info.fFailureActionsOnNonCrashFailures = on ? TRUE : FALSE;
    if (!::ChangeServiceConfig2W(impl_->handle.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> Service::start() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    if (!::StartServiceW(impl_->handle.get(), 0, nullptr)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<NativeString> Service::registered_command_line() const {
    if (!impl_ || !impl_->handle.valid()) {
        return fail(closed_handle_error());
    }
    // The first call only reports the size the configuration needs.
    DWORD needed = 0;
    ::QueryServiceConfigW(impl_->handle.get(), nullptr, 0, &needed);
    if (needed == 0) {
        return fail(last_os_error());
    }
    // QUERY_SERVICE_CONFIGW holds pointers: the buffer must be aligned for them.
    std::vector<QUERY_SERVICE_CONFIGW> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGW));
    if (!::QueryServiceConfigW(impl_->handle.get(), buffer.data(), size, &needed)) {
        return fail(last_os_error());
    }
    const wchar_t* command_line = buffer.front().lpBinaryPathName;
    return NativeString(command_line != nullptr ? command_line : L"");
}

ServiceManager::ServiceManager(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ServiceManager::ServiceManager(ServiceManager&&) noexcept = default;
ServiceManager& ServiceManager::operator=(ServiceManager&&) noexcept = default;
ServiceManager::~ServiceManager() = default;

OsResult<ServiceManager> ServiceManager::open(std::uint32_t desired_access) {
    auto impl = std::make_unique<Impl>();
    impl->handle.reset(::OpenSCManagerW(nullptr, nullptr, desired_access));
    if (!impl->handle.valid()) {
        return fail(last_os_error());
    }
    return ServiceManager(std::move(impl));
}

OsResult<Service> ServiceManager::open_service(NativeView name,
                                               std::uint32_t desired_access) const {
    const NativeString terminated(name);
    auto impl = std::make_unique<Service::Impl>();
    impl->handle.reset(::OpenServiceW(impl_->handle.get(), terminated.c_str(), desired_access));
    if (!impl->handle.valid()) {
        return fail(last_os_error());
    }
    return Service(std::move(impl));
}

OsResult<Service> ServiceManager::create_service(const ServiceRegistration& registration) const {
    auto impl = std::make_unique<Service::Impl>();
    impl->handle.reset(::CreateServiceW(
        impl_->handle.get(), registration.name.c_str(), registration.display_name.c_str(),
        registration.desired_access, registration.service_type, registration.start_type,
        registration.error_control, registration.command_line.c_str(), nullptr, nullptr, nullptr,
        nullptr, nullptr));
    if (!impl->handle.valid()) {
        return fail(last_os_error());
    }
    return Service(std::move(impl));
}

}  // namespace kavo
