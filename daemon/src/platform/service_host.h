// Platform seam: the service process's side of the service control manager:
// the dispatcher that runs the service entry, the control handler's
// registration and the status reports. One service per process. The Linux
// backend has no manager: every call there fails with
// SERVICE_MANAGER_UNAVAILABLE.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/service_parameters.h"

namespace kavo {

// The service entry, called by the dispatcher on a thread of its own with
// the start parameters the manager passed.
using ServiceEntry = std::function<void(std::vector<NativeString> start_parameters)>;

// Runs the dispatcher for the one service `name`: blocks until the service
// has reported stopped, which may be before `entry` has returned. Fails at
// once when this process was not started by the manager
// (SCM_ERROR_FAILED_CONTROLLER_CONNECT).
OsResult<void> run_service_dispatcher(NativeView name, const ServiceEntry& entry);

// A control handler: called on the dispatcher's thread with the control and
// the context it was registered with; returns the answer for the manager.
using ServiceControlHandler = std::uint32_t (*)(std::uint32_t control, void* context);

// Where the service reports its status. The manager owns the handle behind
// it; there is nothing to close.
class ServiceStatusReporter {
  public:
    OsResult<void> report(const ServiceStatusRecord& record) const;

  private:
    friend OsResult<ServiceStatusReporter> register_service_control_handler(NativeView,
                                                                            ServiceControlHandler,
                                                                            void*);
    explicit ServiceStatusReporter(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

// Registers `handler` for the service `name` with `context`, which must stay
// valid for as long as the manager may call the handler.
OsResult<ServiceStatusReporter> register_service_control_handler(NativeView name,
                                                                 ServiceControlHandler handler,
                                                                 void* context);

}  // namespace kavo
