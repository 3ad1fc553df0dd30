// Service host, pure: what the service tells the service control manager and
// how its control handler answers. The service reports running and then
// stopped (or only stopped, when it fails before it runs), never a pending
// state, and accepts only the stop control. A stopped record says why the
// service stopped: exit code 0 after a stop control, its own code for each
// kind of failure.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/service_parameters.h"

namespace kavo {

inline constexpr std::string_view SERVICE_FAILED_PREFIX = "KAVO service failed: ";

// "KAVO service failed: IO error in winapi call". Every failure of the
// service entry reads the same, whatever its cause: the configuration message
// or the system error stays out of the line.
std::string service_failure_line();

// Why the service stopped without being asked to, once its control handler
// was registered.
// The last kind is listed last: the code table below holds one entry each.
enum class ServiceFailure {
    // The configuration on the command line was refused (the installed
    // identity missing, for instance).
    configuration,
    // The core beside the daemon could not be read or is not the configured
    // one.
    core_check,
    // The first instance of the service's pipe could not be created.
    pipe,
    // The service's threads could not be started.
    threads,
};

struct ServiceFailureCode {
    ServiceFailure failure;
    // dwServiceSpecificExitCode of the stopped record.
    std::uint32_t code;
};

// The service's own exit codes. Bit 29 marks a code as an application's: no
// system error carries it, so no system message is ever shown for these.
inline constexpr std::array<ServiceFailureCode, 4> SERVICE_FAILURE_CODES = {{
    {ServiceFailure::configuration, 0x20000001},
    {ServiceFailure::core_check, 0x20000002},
    {ServiceFailure::pipe, 0x20000003},
    {ServiceFailure::threads, 0x20000004},
}};

// The table lists the kinds in their order, so a kind's code is its entry.
inline constexpr bool failure_codes_in_order() {
    for (std::size_t i = 0; i < SERVICE_FAILURE_CODES.size(); ++i) {
        if (static_cast<std::size_t>(SERVICE_FAILURE_CODES[i].failure) != i) {
            return false;
        }
    }
    return true;
}
static_assert(failure_codes_in_order());
static_assert(SERVICE_FAILURE_CODES.size() == static_cast<std::size_t>(ServiceFailure::threads) + 1,
              "one code for every kind of failure");

inline constexpr std::uint32_t service_failure_code(ServiceFailure failure) {
    return SERVICE_FAILURE_CODES[static_cast<std::size_t>(failure)].code;
}

// The process's exit status when the manager cannot be told that the service
// stopped: the handler's registration or a status report failed. The manager
// then sees the process end without a stopped record.
inline constexpr int SERVICE_UNREPORTED_EXIT_STATUS = 1;

// Running: accepts stop. Stopped: accepts nothing, exit code 0 after a stop
// control.
ServiceStatusRecord running_status_record();
ServiceStatusRecord stopped_status_record();
// Stopped by `failure`: exit code ERROR_SERVICE_SPECIFIC_ERROR and the
// failure's own code.
ServiceStatusRecord failed_status_record(ServiceFailure failure);

enum class ControlEffect {
    none,
    // One message on the stop channel.
    send_stop,
};

struct ControlAnswer {
    ControlEffect effect = ControlEffect::none;
    // What the handler returns to the manager.
    std::uint32_t result = CONTROL_ANSWER_NOT_IMPLEMENTED;

    bool operator==(const ControlAnswer&) const = default;
};

// Stop: send a stop message, answer done. Interrogate: nothing to do, the
// manager keeps the last reported status. Everything else, shutdown
// included: not implemented.
ControlAnswer answer_control(std::uint32_t control);

}  // namespace kavo
