// There is no service control manager on Linux: the installer and the
// uninstaller need Windows. Every call fails with one error that says so, so
// that whoever reports it has one clear line to print.
#include "platform/service_manager.h"

#include <string>

#include "platform/posix/posix.h"

namespace kavo {

struct Service::Impl {};
struct ServiceManager::Impl {};

namespace {

OsError unavailable() {
    OsError error;
    error.code = ENOSYS;
    error.text = format_os_error_text(std::string(SERVICE_MANAGER_UNAVAILABLE), ENOSYS);
    return error;
}

}  // namespace

Service::Service(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Service::Service(Service&&) noexcept = default;
Service& Service::operator=(Service&&) noexcept = default;
Service::~Service() = default;

void Service::close() {
    impl_.reset();
}

OsResult<std::uint32_t> Service::query_state() const {
    return fail(unavailable());
}

OsResult<std::uint32_t> Service::process_id() const {
    return fail(unavailable());
}

OsResult<ServiceExitCodes> Service::exit_codes() const {
    return fail(unavailable());
}

OsResult<void> Service::send_stop() const {
    return fail(unavailable());
}

OsResult<void> Service::remove() const {
    return fail(unavailable());
}

OsResult<void> Service::set_description(NativeView) const {
    return fail(unavailable());
}

OsResult<void> Service::set_failure_actions(const ServiceFailureActions&) const {
    return fail(unavailable());
}

OsResult<void> Service::set_failure_actions_on_stop_with_error(bool) const {
    return fail(unavailable());
}

OsResult<void> Service::start() const {
    return fail(unavailable());
}

OsResult<NativeString> Service::registered_command_line() const {
    return fail(unavailable());
}

ServiceManager::ServiceManager(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ServiceManager::ServiceManager(ServiceManager&&) noexcept = default;
ServiceManager& ServiceManager::operator=(ServiceManager&&) noexcept = default;
ServiceManager::~ServiceManager() = default;

OsResult<ServiceManager> ServiceManager::open(std::uint32_t) {
    return fail(unavailable());
}

OsResult<Service> ServiceManager::open_service(NativeView, std::uint32_t) const {
    return fail(unavailable());
}

OsResult<Service> ServiceManager::create_service(const ServiceRegistration&) const {
    return fail(unavailable());
}

}  // namespace kavo
