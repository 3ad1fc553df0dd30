// There is no event log on Linux: every call fails with one error that says
// so.
#include "platform/event_log.h"

#include <string>

#include "platform/posix/posix.h"

namespace kavo {

namespace {

OsError unavailable() {
    OsError error;
    error.code = ENOSYS;
    error.text = format_os_error_text(std::string(EVENT_LOG_UNAVAILABLE), ENOSYS);
    return error;
}

}  // namespace

OsResult<void> register_event_source(NativeView, const EventSourceRegistration&) {
    return fail(unavailable());
}

OsResult<void> remove_event_source(NativeView) {
    return fail(unavailable());
}

OsResult<std::optional<EventSourceRegistration>> read_event_source(NativeView) {
    return fail(unavailable());
}

}  // namespace kavo
