// Platform seam, pure: the values the service control manager speaks in, as
// plain numbers, so that the installer's decisions can be written and tested
// without the manager.
#pragma once

#include <cstdint>
#include <vector>

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
inline constexpr std::uint32_t SERVICE_STATE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_STATE_PAUSED = 7;

// The controls a service may accept (dwControlsAccepted): only stop here.
inline constexpr std::uint32_t SERVICE_ACCEPTS_STOP = 1;

// Controls the manager sends to a running service, and the handler's answers.
inline constexpr std::uint32_t SERVICE_CONTROL_CODE_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_CODE_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_CODE_SHUTDOWN = 5;
inline constexpr std::uint32_t SERVICE_CONTROL_CODE_PRESHUTDOWN = 15;
inline constexpr std::uint32_t CONTROL_ANSWER_DONE = 0;
inline constexpr std::uint32_t CONTROL_ANSWER_NOT_IMPLEMENTED = 120;

// The manager's error codes that callers tell apart.
inline constexpr std::uint32_t SCM_ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr std::uint32_t SCM_ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr std::uint32_t SCM_ERROR_SERVICE_EXISTS = 1073;
inline constexpr std::uint32_t SCM_ERROR_DUPLICATE_SERVICE_NAME = 1078;
// The dispatcher was started by a process the manager did not start.
inline constexpr std::uint32_t SCM_ERROR_FAILED_CONTROLLER_CONNECT = 1063;

// The exit code of a stopped service whose own code says why it stopped
// (dwWin32ExitCode; the reason is then in dwServiceSpecificExitCode).
inline constexpr std::uint32_t SERVICE_EXIT_SPECIFIC_ERROR = 1066;

// What a service reports of itself (SERVICE_STATUS, field for field).
struct ServiceStatusRecord {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;

    bool operator==(const ServiceStatusRecord&) const = default;
};

// The two exit codes a stopped service reported last.
struct ServiceExitCodes {
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;

    bool operator==(const ServiceExitCodes&) const = default;
};

// What the manager does when the service fails (SC_ACTION_TYPE).
enum class ServiceFailureActionType : std::uint32_t {
    none = 0,
    restart = 1,
};

// One action (SC_ACTION): the n-th failure since the last reset takes the
// n-th action, and every failure beyond the last takes the last.
struct ServiceFailureAction {
    ServiceFailureActionType type = ServiceFailureActionType::none;
    std::uint32_t delay_milliseconds = 0;

    bool operator==(const ServiceFailureAction&) const = default;
};

// The failure actions of a service (SERVICE_FAILURE_ACTIONS, without a reboot
// message or a command) and whether they also follow a stop that reports a
// non-zero exit code, not only a process that ended without reporting stopped
// (SERVICE_FAILURE_ACTIONS_FLAG).
struct ServiceFailureActions {
    // Seconds without a failure after which the count starts again.
    std::uint32_t reset_period_seconds = 0;
    std::vector<ServiceFailureAction> actions;
    bool on_stop_with_error = false;

    bool operator==(const ServiceFailureActions&) const = default;
};

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
