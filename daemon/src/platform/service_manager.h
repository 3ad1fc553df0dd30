// Platform seam: the Windows service control manager, as thin calls on owning
// handles. Every failure is the OsError of the failing call, so callers can
// tell the manager's codes apart (service_parameters.h). The Linux backend has
// no service manager: every call there fails with SERVICE_MANAGER_UNAVAILABLE.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/service_parameters.h"

namespace kavo {

// The text of the error every call fails with where there is no service
// control manager.
inline constexpr std::string_view SERVICE_MANAGER_UNAVAILABLE =
    "Installing the service needs the Windows service control manager";

// One open service. Closing it (or destroying it) lets the manager finish a
// deletion once no other handle is left.
class Service {
  public:
    Service(Service&&) noexcept;
    Service& operator=(Service&&) noexcept;
    ~Service();

    // The service's current state (dwCurrentState of SERVICE_STATUS_PROCESS),
    // as the manager reports it: not checked here.
    OsResult<std::uint32_t> query_state() const;
    // The identifier of the process the service runs in (dwProcessId of
    // SERVICE_STATUS_PROCESS); 0 while it runs in none.
    OsResult<std::uint32_t> process_id() const;
    // The exit codes the service reported with its last status
    // (dwWin32ExitCode and dwServiceSpecificExitCode); they say why it
    // stopped once it has.
    OsResult<ServiceExitCodes> exit_codes() const;
    // Sends the stop control.
    OsResult<void> send_stop() const;
    // Marks the service for deletion.
    OsResult<void> remove() const;
    OsResult<void> set_description(NativeView description) const;
    // What the manager does when the service fails: the reset period and the
    // actions (SERVICE_CONFIG_FAILURE_ACTIONS).
    OsResult<void> set_failure_actions(const ServiceFailureActions& actions) const;
    // Whether those actions also follow a stop reported with a non-zero exit
    // code (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG).
    OsResult<void> set_failure_actions_on_stop_with_error(bool on) const;
    // Starts the service with no start arguments.
    OsResult<void> start() const;
    // The command line the service is registered with.
    OsResult<NativeString> registered_command_line() const;

    // Closes the handle now; every call after this fails.
    void close();

    struct Impl;

  private:
    friend class ServiceManager;
    explicit Service(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A connection to the service control manager of the local machine.
class ServiceManager {
  public:
    static OsResult<ServiceManager> open(std::uint32_t desired_access);

    ServiceManager(ServiceManager&&) noexcept;
    ServiceManager& operator=(ServiceManager&&) noexcept;
    ~ServiceManager();

    OsResult<Service> open_service(NativeView name, std::uint32_t desired_access) const;
    OsResult<Service> create_service(const ServiceRegistration& registration) const;

    struct Impl;

  private:
    explicit ServiceManager(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavo
