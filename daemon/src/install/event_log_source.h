// Installation: the service's event source in the Application event log,
// with the installed daemon, which carries the message table, as its message
// file. The installer registers it once the files are in place and the
// uninstaller removes it; both are best effort, and a failure is one line on
// standard error (and in the log) that changes no outcome.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/event_log.h"
#include "platform/native_string.h"

namespace kavo {

inline constexpr std::string_view REGISTER_EVENT_SOURCE_FAILED =
    "Failed to register the kavo-service event log source: ";
inline constexpr std::string_view REMOVE_EVENT_SOURCE_FAILED =
    "Failed to remove the kavo-service event log source: ";

// The event types the service reports: its lines are errors or warnings.
inline constexpr std::uint32_t SERVICE_EVENT_TYPES = EVENT_TYPE_ERROR | EVENT_TYPE_WARNING;

// The registration the installer writes for `installed_daemon`.
EventSourceRegistration service_event_source(const NativeString& installed_daemon);

// Registers the service's event source (or overwrites its registration).
void register_service_event_source(const NativeString& installed_daemon);

// Removes the service's event source; nothing to do when there is none.
void remove_service_event_source();

}  // namespace kavo
