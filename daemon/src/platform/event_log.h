// Platform seam: the registration of an event source in the Application
// event log, which tells the event viewer which file's message table holds
// the texts of the source's events and which event types it reports. On
// Windows it is the registry key
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>, which
// only administrators can write. The Linux backend has no event log: every
// call fails with EVENT_LOG_UNAVAILABLE.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

inline constexpr std::string_view EVENT_LOG_UNAVAILABLE = "The event log needs Windows";

// Event types as the event log numbers them (the bits of TypesSupported).
inline constexpr std::uint32_t EVENT_TYPE_ERROR = 0x0001;
inline constexpr std::uint32_t EVENT_TYPE_WARNING = 0x0002;

struct EventSourceRegistration {
    // The file whose message table the event viewer formats the events with.
    NativeString message_file;
    std::uint32_t types_supported = 0;

    bool operator==(const EventSourceRegistration&) const = default;
};

// Creates or overwrites the source's registration.
OsResult<void> register_event_source(NativeView source,
                                     const EventSourceRegistration& registration);

// Removes the source's registration; success also when there is none.
OsResult<void> remove_event_source(NativeView source);

// The source's registration as it stands, nullopt when there is none. A
// value that is missing reads as empty or 0.
OsResult<std::optional<EventSourceRegistration>> read_event_source(NativeView source);

}  // namespace kavo
