// Platform seam, pure: the values the service control manager speaks in, as
// plain numbers, so that the installer's decisions can be written and tested
// without the manager.
#pragma once

#include <cstdint>

#include "platform/native_string.h"

namespace kavo {

// Desired access to the service control manager.
inline constexpr std::uint32_t SCM_ACCESS_CONNECT = 0x0001;
inline constexpr std::uint32_t SCM_ACCESS_CREATE_SERVICE = 0x0002;

// Desired access to one service.
inline constexpr std::uint32_t SERVICE_ACCESS_QUERY_STATUS = 0x0004;
inline constexpr std::uint32_t SERVICE_ACCESS_ALL = 0xF01FF;

// How a service is registered.
inline constexpr std::uint32_t SERVICE_TYPE_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_START_AUTOMATIC = 2;
inline constexpr std::uint32_t SERVICE_ERROR_CONTROL_NORMAL = 1;

// A service's current state: stopped (1) up to paused (7).
inline constexpr std::uint32_t SERVICE_STATE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_STATE_PAUSED = 7;

// The manager's error codes that callers tell apart.
inline constexpr std::uint32_t SCM_ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr std::uint32_t SCM_ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr std::uint32_t SCM_ERROR_SERVICE_EXISTS = 1073;
inline constexpr std::uint32_t SCM_ERROR_DUPLICATE_SERVICE_NAME = 1078;

// What CreateServiceW is given besides the manager. The load order group,
// tag, dependencies, account and password are always absent: the service has
// no dependencies and runs as LocalSystem.
struct ServiceRegistration {
    NativeString name;
    NativeString display_name;
    std::uint32_t desired_access = 0;
    std::uint32_t service_type = 0;
    std::uint32_t start_type = 0;
    std::uint32_t error_control = 0;
    // The whole command line the manager starts the service with.
    NativeString command_line;
};

}  // namespace kavo
