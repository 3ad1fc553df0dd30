// There is no service control manager on Linux: the daemon serves in the
// foreground there, and every call of this seam says so.
#include "platform/service_host.h"

#include <string>

#include "platform/posix/posix.h"
#include "platform/service_manager.h"

namespace kavo {

namespace {

OsError unavailable() {
    OsError error;
    error.code = ENOSYS;
    error.text = format_os_error_text(std::string(SERVICE_MANAGER_UNAVAILABLE), ENOSYS);
    return error;
}

}  // namespace

OsResult<void> run_service_dispatcher(NativeView, const ServiceEntry&) {
    return fail(unavailable());
}

OsResult<ServiceStatusReporter> register_service_control_handler(NativeView, ServiceControlHandler,
                                                                 void*) {
    return fail(unavailable());
}

OsResult<void> ServiceStatusReporter::report(const ServiceStatusRecord&) const {
    return fail(unavailable());
}

}  // namespace kavo
