// IPC protocol, pure: the Error answers of the lease requests, as clients
// read them. Which answer a request gets is the lease state's decision.
#pragma once

#include <string_view>

namespace kavo {

inline constexpr std::string_view EXPIRED_LEASE_NOT_RECLAIMED =
    "The expired service lease could not be reclaimed";
inline constexpr std::string_view EXPIRED_LEASE_STILL_RECLAIMING =
    "The expired service lease is still being reclaimed";
inline constexpr std::string_view LEASE_OWNED_BY_ANOTHER_CLIENT =
    "Another client already owns the service lease";
inline constexpr std::string_view LEASE_STILL_RECLAIMING =
    "The service lease is still being reclaimed";
inline constexpr std::string_view LEASE_NO_LONGER_VALID = "The service lease is no longer valid";
inline constexpr std::string_view LEASE_NOT_RELEASED_SAFELY =
    "The service lease could not be released safely";
inline constexpr std::string_view START_NEEDS_ACTIVE_LEASE =
    "An active service lease is required to start the core";
inline constexpr std::string_view STOP_NEEDS_ACTIVE_LEASE =
    "An active service lease is required to stop the core";
inline constexpr std::string_view CORE_NOT_STOPPED_SAFELY = "The core could not be stopped safely";

}  // namespace kavo
