// Service host, pure: what the service tells the service control manager and
// how its control handler answers. The service reports exactly two status
// records, running and stopped, never a pending state, and accepts only the
// stop control.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/service_parameters.h"

namespace kavo {

inline constexpr std::string_view SERVICE_FAILED_PREFIX = "KAVO service failed: ";
// Every failure of the service entry reads the same, whatever its cause: the
// configuration message or the system error stays out of the line.
inline constexpr std::string_view SERVICE_ENTRY_FAILURE = "IO error in winapi call";

// "KAVO service failed: IO error in winapi call"
std::string service_failure_line();

// Running: accepts stop. Stopped: accepts nothing, exit code 0 whatever
// ended the pipe server.
ServiceStatusRecord running_status_record();
ServiceStatusRecord stopped_status_record();

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
