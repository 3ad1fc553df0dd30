#include "install/event_log_source.h"

#include <string>

#include "platform/diagnostics.h"
#include "service/service_names.h"

namespace kavo {

EventSourceRegistration service_event_source(const NativeString& installed_daemon) {
    return EventSourceRegistration{installed_daemon, SERVICE_EVENT_TYPES};
}

void register_service_event_source(const NativeString& installed_daemon) {
    const auto registered =
        register_event_source(EVENT_SOURCE_NAME, service_event_source(installed_daemon));
    if (!registered) {
        write_error_line(std::string(REGISTER_EVENT_SOURCE_FAILED) + registered.error().text);
    }
}

void remove_service_event_source() {
    const auto removed = remove_event_source(EVENT_SOURCE_NAME);
    if (!removed) {
        write_error_line(std::string(REMOVE_EVENT_SOURCE_FAILED) + removed.error().text);
    }
}

}  // namespace kavo
